// smdhost: the host runner. Everything lives in smdhost_core.
#include <iostream>

#include "runner/cli.h"

int main(int argc, char** argv) {
    return RunSmdhost(argc, argv, std::cout, std::cerr);
}
