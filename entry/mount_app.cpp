#include "entry/mount_app.h"

namespace vxd {
namespace {
CMountApp theApp;
} // namespace

CMountApp &TheApp() { return theApp; }

} // namespace vxd
