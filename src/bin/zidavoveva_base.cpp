// The entry program: everything lives in the library.
#include <cstdio>

int main(int argc, char** argv) {
    (void)argc;
    (void)argv;
    std::fputs("zidavoveva_base: service control is not built yet\n", stderr);
    return 1;
}
