// Fd.cpp - counting the process's open descriptors.
#include "platform/Fd.h"

#include <system_error>
#include <filesystem>

int OpenDescriptorCount() {
    std::error_code error;
    int count = 0;
    for (std::filesystem::directory_iterator it("/proc/self/fd", error), end; !error && it != end;
         it.increment(error))
        ++count;
    return count > 0 ? count - 1 : 0;  // the iterator's own descriptor
}
