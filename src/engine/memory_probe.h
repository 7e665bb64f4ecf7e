// Whether a range of this process's memory can be read, asked of the kernel
// instead of by touching it: an Arrow producer gives pointers without sizes,
// so an offset past the end of its data buffer can only be told from a good
// one by whether the bytes it points to exist. The probe reads one byte of
// every page of the range through process_vm_readv, which reports a missing
// or unreadable page as an error where a load would fault; a range of
// megabytes is instead looked up in the kernel's list of the process's
// mappings (/proc/self/maps), one read for the whole range.
//
// It finds ranges that would crash, not ranges that run into a neighbouring
// allocation: those are read (and counted) as they are.
#pragma once

#include <cstddef>

namespace vantorelle::engine {

// True when every byte of [data, data + size) is readable (an empty range
// always is). Where the kernel refuses the probe itself (no such system
// call, a sandbox), the range is taken as readable.
bool readable(const void* data, std::size_t size);

}  // namespace vantorelle::engine
