// vxdmount: runs one CreateVXD call against a simulated Windows machine.
#include <iostream>
#include <string>
#include <vector>

#include "tools/vxdmount/runner.h"

int main(int argc, char **argv) {
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    return vxd::runner::RunVxdMount(arguments, std::cout, std::cerr);
}
