// The module's application object: alive from the library's load to its unload.
#pragma once

namespace vxd {

class CMountApp {
  public:
    CMountApp() = default;
    // Load never fails on the library's own account.
    int InitInstance() { return 1; }
};

CMountApp &TheApp();

} // namespace vxd
