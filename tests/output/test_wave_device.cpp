// The scripted device is defined in its header.
#include "tests/output/test_wave_device.h"
