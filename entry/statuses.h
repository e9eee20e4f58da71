// The statuses of the exports since 1.2: their names as vxdmount.h defines them and their texts,
// in one table that VxdStatusText answers from and vxdhost names them from.
#pragma once

namespace vxd {

struct StatusName {
    int code;
    const char *name; // as vxdmount.h defines it
    const char *text; // a few words, as VxdStatusText answers
};

// The status of `code`, or null for a code that no version defines.
const StatusName *FindStatusName(int code);

// Every status, in the order of their codes.
const StatusName *StatusNamesBegin();
const StatusName *StatusNamesEnd();

} // namespace vxd
