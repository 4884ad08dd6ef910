#include "app/standard_descriptors.h"

#include <io.h>

#include <cstdio>

// A Windows process without a standard handle gets a null handle, which no file that the program
// opens can take the place of.
void openMissingStandardDescriptors() {}

bool standardErrorIsTerminal() {
    return _isatty(_fileno(stderr)) != 0;
}
