// WinHTTP verifies the certificate against the machine's store and the
// host name, refuses anything older than TLS 1.2, and follows no redirect:
// an answer is the service's own.
#include "http_client_win.hpp"

#include <windows.h>
#include <winhttp.h>

#include <memory>

namespace veltra::http {
namespace {

struct CloseHandle {
    void operator()(void* h) const { WinHttpCloseHandle(h); }
};
using Handle = std::unique_ptr<void, CloseHandle>;

std::wstring wide(const std::string& s) {
    if (s.empty()) return {};
    const int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
    std::wstring w(static_cast<std::size_t>(n > 0 ? n : 0), L'\0');
    if (n > 0) MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), w.data(), n);
    return w;
}

std::string narrow(const std::wstring& w) {
    if (w.empty()) return {};
    const int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0,
                                      nullptr, nullptr);
    std::string s(static_cast<std::size_t>(n > 0 ? n : 0), '\0');
    if (n > 0)
        WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), s.data(), n, nullptr,
                            nullptr);
    return s;
}

std::string why(const char* step) {
    const DWORD e = GetLastError();
    std::string text;
    switch (e) {
        case ERROR_WINHTTP_SECURE_FAILURE:
        case ERROR_WINHTTP_SECURE_INVALID_CA:
        case ERROR_WINHTTP_SECURE_CERT_CN_INVALID:
        case ERROR_WINHTTP_SECURE_CERT_DATE_INVALID:
        case ERROR_WINHTTP_SECURE_INVALID_CERT:
            text = "the service's certificate is not trusted here, or does not name its host";
            break;
        case ERROR_WINHTTP_SECURE_CHANNEL_ERROR:
            // Wine reports a certificate it refused this way too.
            text =
                "no secure channel: the service's certificate is not trusted here or does "
                "not name its host, or it speaks no TLS 1.2 or later";
            break;
        case ERROR_WINHTTP_CANNOT_CONNECT:
            text = "cannot connect";
            break;
        case ERROR_WINHTTP_TIMEOUT:
            text = "no answer in time";
            break;
        case ERROR_WINHTTP_NAME_NOT_RESOLVED:
            text = "the name is not known";
            break;
        default:
            text = "WinHTTP error " + std::to_string(e);
            break;
    }
    return std::string(step) + ": " + text;
}

// "Name: value" lines after the status line.
Headers parse_headers(const std::string& raw) {
    Headers h;
    std::size_t at = raw.find("\r\n");
    while (at != std::string::npos && at + 2 < raw.size()) {
        const std::size_t end = raw.find("\r\n", at + 2);
        const std::string line =
            raw.substr(at + 2, end == std::string::npos ? std::string::npos : end - at - 2);
        const std::size_t colon = line.find(':');
        if (colon != std::string::npos) {
            std::size_t v = colon + 1;
            while (v < line.size() && line[v] == ' ') ++v;
            h.emplace(line.substr(0, colon), line.substr(v));
        }
        at = end;
    }
    return h;
}

}  // namespace

std::optional<Client::Result> winhttp_send(
    const WinHttpTarget& to,
    const boost::beast::http::request<boost::beast::http::string_body>& req,
    const Client::Receiver& receiver, std::string& error) {
    namespace bhttp = boost::beast::http;
    if (!to.tls.ca_file.empty()) {
        error = windows_trust_advice(to.tls.ca_file, "the file");
        return std::nullopt;
    }
    Handle session(WinHttpOpen(L"veltra", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                               WINHTTP_NO_PROXY_BYPASS, 0));
    if (!session) {
        error = why("WinHTTP");
        return std::nullopt;
    }
    DWORD protocols = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2;
#ifdef WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3
    protocols |= WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3;
#endif
    WinHttpSetOption(session.get(), WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols, sizeof protocols);
    const int ms = static_cast<int>(std::chrono::milliseconds(to.timeout).count());
    WinHttpSetTimeouts(session.get(), ms, ms, ms, ms);
    Handle connection(WinHttpConnect(session.get(), wide(to.host).c_str(),
                                     static_cast<INTERNET_PORT>(to.port), 0));
    if (!connection) {
        error = why(("cannot reach " + to.host).c_str());
        return std::nullopt;
    }
    const std::wstring method = wide(std::string(req.method_string()));
    const std::wstring target = wide(std::string(req.target()));
    Handle request(WinHttpOpenRequest(
        connection.get(), method.c_str(), target.c_str(), nullptr, WINHTTP_NO_REFERER,
        WINHTTP_DEFAULT_ACCEPT_TYPES,
        WINHTTP_FLAG_SECURE | WINHTTP_FLAG_ESCAPE_DISABLE | WINHTTP_FLAG_ESCAPE_DISABLE_QUERY));
    if (!request) {
        error = why("WinHTTP");
        return std::nullopt;
    }
    DWORD off = WINHTTP_DISABLE_REDIRECTS | WINHTTP_DISABLE_COOKIES;
    WinHttpSetOption(request.get(), WINHTTP_OPTION_DISABLE_FEATURE, &off, sizeof off);
    // WinHTTP writes the Host and the length itself.
    std::string header_lines;
    for (const auto& f : req) {
        if (f.name() == bhttp::field::host || f.name() == bhttp::field::content_length) continue;
        header_lines += std::string(f.name_string()) + ": " + std::string(f.value()) + "\r\n";
    }
    const std::wstring wheaders = wide(header_lines);
    const std::string& body = req.body();
    const DWORD length = static_cast<DWORD>(body.size());
    if (!WinHttpSendRequest(request.get(),
                            wheaders.empty() ? WINHTTP_NO_ADDITIONAL_HEADERS : wheaders.c_str(),
                            static_cast<DWORD>(wheaders.size()),
                            body.empty() ? WINHTTP_NO_REQUEST_DATA : const_cast<char*>(body.data()),
                            length, length, 0) ||
        !WinHttpReceiveResponse(request.get(), nullptr)) {
        error = why(("no answer from https://" + to.host + ":" + std::to_string(to.port)).c_str());
        return std::nullopt;
    }
    Client::Result r;
    DWORD status = 0;
    DWORD size = sizeof status;
    WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                        WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX);
    r.status = static_cast<int>(status);
    size = 0;
    WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_RAW_HEADERS_CRLF, WINHTTP_HEADER_NAME_BY_INDEX,
                        WINHTTP_NO_OUTPUT_BUFFER, &size, WINHTTP_NO_HEADER_INDEX);
    if (size > 0) {
        std::wstring raw(size / sizeof(wchar_t) + 1, L'\0');
        if (WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_RAW_HEADERS_CRLF,
                                WINHTTP_HEADER_NAME_BY_INDEX, raw.data(), &size,
                                WINHTTP_NO_HEADER_INDEX)) {
            raw.resize(size / sizeof(wchar_t));
            r.headers = parse_headers(narrow(raw));
        }
    }
    std::string piece;
    for (;;) {
        DWORD available = 0;
        if (!WinHttpQueryDataAvailable(request.get(), &available)) {
            error = why("the answer was cut short");
            return std::nullopt;
        }
        if (available == 0) break;
        piece.resize(available);
        DWORD read = 0;
        if (!WinHttpReadData(request.get(), piece.data(), available, &read)) {
            error = why("the answer was cut short");
            return std::nullopt;
        }
        if (read == 0) break;
        if (receiver) {
            if (!receiver(piece.data(), read)) return r;
        } else {
            r.body.append(piece.data(), read);
        }
    }
    return r;
}

}  // namespace veltra::http
