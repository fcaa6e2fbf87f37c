// Standard input, output and error that a program was started without.
#pragma once

namespace qf580::posix {

// Opens /dev/null, for reading only, on each of descriptors 0, 1 and 2 that is closed (a
// write to it then fails as a write to a closed stream would); the ones that are open are left as
// they are. Without this, the program's own descriptors take those numbers: the disk question then
// reads a signalfd as its terminal and waits for ever instead of meeting the end of input, and text
// meant for standard error lands in a wake pipe. To be called before anything opens a descriptor.
// 0, or the error number when one could not be opened.
int OpenMissingStandardStreams() noexcept;

}  // namespace qf580::posix
