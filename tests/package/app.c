/* app PORTAL PORT TARGET: one CreateVXD call through the imported target's import library. */
#include <stdio.h>

#include <vxdmount.h>

int main(int argc, char **argv) {
    int result;
    if (argc != 4) {
        fputs("usage: app PORTAL PORT TARGET\n", stderr);
        return 2;
    }
    result = CreateVXD(argv[1], argv[2], argv[3], "cmake consumer", "");
    printf("CreateVXD returned %d\n", result);
    return result == 1 ? 0 : 1;
}
