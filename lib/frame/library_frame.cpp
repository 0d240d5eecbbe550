// Load and unload work, the version text and result names: the exported
// ecr_get_ver and ecr_get_err live here.
#include "frame/library_frame.hpp"

#include <array>
#include <cstdio>
#include <cstring>
#include <string>

#include "frame/export_call.hpp"
#include "frame/paths.hpp"
#include "frame/result_codes.hpp"
#include "frame/trace.hpp"
#include "sys/env.hpp"
#include "sys/files.hpp"
#include "sys/module.hpp"
#include "sys/sockets.hpp"
#include "veltra.h"

namespace veltra {
namespace {

// Constant-initialised and trivially destructible, so the values are valid
// in load notifications that run before or after any other initialiser.
int g_esito_sock = -1;
std::array<char, sys::kPathMax> g_dirname{};

void set_dirname_from_executable() {
    const std::string exe = sys::executable_path();
    set_dirname(exe.empty() ? std::string_view(".") : dirname_of(exe));
}

void trace_notification(std::uintptr_t module, unsigned reason) {
    char number[16];
    const char* text = nullptr;
    switch (reason) {
        case kProcessAttach:
            text = "PROCESS_ATTACH";
            break;
        case kProcessDetach:
            text = "PROCESS_DETACH";
            break;
        case kThreadAttach:
            text = "THREAD_ATTACH ";
            break;
        case kThreadDetach:
            text = "THREAD_DETACH ";
            break;
        default:
            std::snprintf(number, sizeof number, "%u", reason);
            text = number;
    }
    ecr_trace("%s DllMain -- %s: hInst='0x%08X' esito='%u' dirname='%s' esito_sock='%d'\n",
              ecr_trace_time(), text, static_cast<unsigned>(module), 1u, dirname(), g_esito_sock);
}

}  // namespace

std::string_view dirname_of(std::string_view executable) noexcept {
    const auto sep = executable.rfind(sys::kPathSep);
    if (sep == std::string_view::npos) return ".";
    return executable.substr(0, sep);
}

int library_notify(std::uintptr_t module, unsigned reason) noexcept {
    if (reason == kProcessAttach) {
        set_dirname_from_executable();
        try {
            sys::remove_file(ecr_module_path(kTraceFileName).c_str());
        } catch (...) {
        }
        ecr_trace("%s DllMain -- versione='%s'\n", ecr_trace_time(), kVersionText);
        g_esito_sock = sys::sockets_start();
    } else if (reason == kProcessDetach) {
        if (g_esito_sock == 0) sys::sockets_stop();
        g_esito_sock = -1;
    }
    trace_notification(module, reason);
    return 1;
}

int esito_sock() noexcept {
    return g_esito_sock;
}

const char* dirname() noexcept {
    return g_dirname.data();
}

void set_esito_sock(int value) noexcept {
    g_esito_sock = value;
}

void set_dirname(std::string_view dir) noexcept {
    // A directory too long to keep is treated like a path that cannot be had.
    if (dir.size() >= g_dirname.size()) dir = ".";
    std::memcpy(g_dirname.data(), dir.data(), dir.size());
    g_dirname[dir.size()] = '\0';
}

}  // namespace veltra

using namespace veltra;

extern "C" ECR_API char* ECR_CALL ecr_get_ver(char* verptr) {
    return export_call<char*>(
        verptr,
        [&]() noexcept {
            ecr_trace("%s ecr_get_ver -- begin: verptr='0x%08X'\n", ecr_trace_time(),
                      trace_addr(verptr));
        },
        [&] {
            // A trap without a debugger would kill the host application.
            if (sys::env_present("ECR_DEBUG") && sys::debugger_attached()) sys::debug_trap();
            std::memcpy(verptr, kVersionText, std::strlen(kVersionText) + 1);
            return verptr;
        },
        [&](char* result) noexcept {
            ecr_trace("%s ecr_get_ver -- end  : verptr='%s'\n", ecr_trace_time(), result);
        });
}

extern "C" ECR_API char* ECR_CALL ecr_get_err(int32_t esito, char* errptr) {
    return export_call<char*>(
        errptr,
        [&]() noexcept {
            ecr_trace("%s ecr_get_err -- begin: esito='%d' errptr='0x%08X'\n", ecr_trace_time(),
                      static_cast<int>(esito), trace_addr(errptr));
        },
        [&] { return ecr_err_name(esito, errptr); },
        [&](char* result) noexcept {
            ecr_trace("%s ecr_get_err -- end  : errptr='%s'\n", ecr_trace_time(), result);
        });
}
