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

// A call made of many transfers (the days of a sales range) tells how far it
// is: done of total steps, once before the first step and after each one.
// Steps the register refuses move no bytes, so the transfer observer alone
// cannot count them.
struct StepProgress {
    const char* what;    // what is counted, e.g. "days"
    std::int64_t done;   // steps finished
    std::int64_t total;  // steps in the call
};
using StepObserver = void (*)(void* context, const StepProgress& progress);

void set_step_observer(StepObserver observer, void* context) noexcept;
void notify_step(const StepProgress& progress) noexcept;

}  // namespace veltra
