// The standard streams the program is started with. A program started with descriptor 0, 1 or 2
// closed would hand that number to the next file it opens (the signal descriptor of the control
// events, a device), and then read its input from that file or write its text into it.
#pragma once

// Opens /dev/null on each of the standard descriptors 0, 1 and 2 that is closed, so that a
// closed input reads as an immediate end of input and a closed output swallows the text. Called
// first in main, before anything opens a file. Nothing to do on Windows, whose handles are not
// numbered that way.
void openMissingStandardDescriptors();

// Whether standard error is a terminal (a console on Windows), where a progress line can be
// redrawn in place.
bool standardErrorIsTerminal();
