#include "app/standard_descriptors.h"

// A Windows process without a standard handle gets a null handle, which no file that the program
// opens can take the place of.
void openMissingStandardDescriptors() {}
