// The observer slots of the TFTP client and of calls made of many transfers.
#include "net/transfer_observer.hpp"

namespace veltra {
namespace {

TransferObserver g_observer = nullptr;
void* g_context = nullptr;
StepObserver g_step_observer = nullptr;
void* g_step_context = nullptr;

}  // namespace

void set_transfer_observer(TransferObserver observer, void* context) noexcept {
    g_observer = observer;
    g_context = context;
}

void notify_transfer(const TransferProgress& progress) noexcept {
    if (g_observer != nullptr) g_observer(g_context, progress);
}

void set_step_observer(StepObserver observer, void* context) noexcept {
    g_step_observer = observer;
    g_step_context = context;
}

void notify_step(const StepProgress& progress) noexcept {
    if (g_step_observer != nullptr) g_step_observer(g_step_context, progress);
}

}  // namespace veltra
