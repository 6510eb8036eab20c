// own-pcscd-place COMMAND [ARGUMENT...]: runs the command in a place of its own
// for a pcscd of its own (own_pcscd.h); when none can be made here, says why
// and ends with status 77, which the tests' scripts report as skipped.
#include <stdio.h>
#include <unistd.h>

#include "tests/common/own_pcscd.h"

int main(int argc, char** argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: own-pcscd-place COMMAND [ARGUMENT...]\n");
        return 2;
    }
    const std::string why = testsupport::EnterOwnPcscdPlace();
    if (!why.empty()) {
        printf("skipped: %s\n", why.c_str());
        return 77;
    }
    execvp(argv[1], argv + 1);
    perror(argv[1]);
    return 127;
}
