// An in-process observer of TFTP transfers, for programs that link the
// library's objects (the veltra tool draws its progress bars with it). It is
// not exported: the shared library's interface stays the register's own.
#pragma once

#include <cstdint>

namespace veltra {

struct TransferProgress {
    const char* pathname;  // the local file of the transfer
    bool put;              // true: to the register; false: from it
    std::int64_t done;     // bytes moved so far
    std::int64_t total;    // the file's size on a put; -1 on a get (TFTP does not say)
};

// Called once when a transfer starts (done 0) and after every block. It runs
// on the caller's thread inside the transfer and must return quickly.
using TransferObserver = void (*)(void* context, const TransferProgress& progress);

// Installs the observer (nullptr removes it). Like the rest of the library,
// this is for one thread at a time.
void set_transfer_observer(TransferObserver observer, void* context) noexcept;

// Tells the observer, if any, how a transfer stands.
void notify_transfer(const TransferProgress& progress) noexcept;

}  // namespace veltra
