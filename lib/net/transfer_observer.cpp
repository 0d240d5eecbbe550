// The one observer slot of the TFTP client.
#include "net/transfer_observer.hpp"

namespace veltra {
namespace {

TransferObserver g_observer = nullptr;
void* g_context = nullptr;

}  // namespace

void set_transfer_observer(TransferObserver observer, void* context) noexcept {
    g_observer = observer;
    g_context = context;
}

void notify_transfer(const TransferProgress& progress) noexcept {
    if (g_observer != nullptr) g_observer(g_context, progress);
}

}  // namespace veltra
