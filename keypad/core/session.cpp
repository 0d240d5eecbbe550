// Start-up, connect, SALVA IP and OFF skip whatever fails without a word;
// a key that cannot be sent is reported, after one fresh connect.
#include "session.hpp"

#include "display_text.hpp"
#include "settings_files.hpp"

namespace delpad {

Session::Session(Link& data, Link& send, std::filesystem::path dir)
    : data_(data), send_(send), dir_(std::move(dir)) {}

SettingsFields Session::read_settings() const {
    return {read_setting(dir_, ip_file), read_setting(dir_, data_file),
            read_setting(dir_, send_file)};
}

void Session::open_link(Link& link, const std::string& host, std::int16_t port) {
    if (host.empty() || port <= 0 || !link.is_idle()) return;
    link.open(host, static_cast<std::uint16_t>(port));
}

void Session::connect(const SettingsFields& fields) {
    address_ = trim_blanks(fields.address);
    convert_port(fields.data, data_port_);
    convert_port(fields.send, send_port_);
    open_link(data_, address_, data_port_);
    open_link(send_, address_, send_port_);
}

void Session::disconnect() {
    data_.close();
    send_.close();
    data_closed();
}

bool Session::save_address(const SettingsFields& fields) {
    const bool saved = save_ip(dir_, fields.address);
    disconnect();
    connect(fields);
    return saved;
}

void Session::off() {
    disconnect();
    data_.close();
    send_.close();
}

bool Session::press(const KeySpec& key) {
    if (key.family == KeyFamily::digit) {
        digits_ += key.caption.substr(0, 1);
        // The digit field formatted "00": at least two digits.
        outgoing_ = digits_.size() < 2 ? std::string(2 - digits_.size(), '0') + digits_ : digits_;
        digits_.clear();
        return send_outgoing();
    }
    outgoing_ = key.code;
    const bool sent = send_outgoing();
    if (key.clears_digit_field) digits_.clear();
    return sent;
}

bool Session::send_once() {
    return send_.is_open() && send_.send(key_message(outgoing_));
}

bool Session::send_outgoing() {
    if (trim_blanks(outgoing_).size() < 2) return true;
    bool sent = send_once();
    if (!sent && !address_.empty() && send_port_ > 0) {
        // The register may be back after a drop: one fresh connect, then
        // DATA too, so its display returns.
        send_.close();
        sent = send_.open_now(address_, static_cast<std::uint16_t>(send_port_)) && send_once();
        open_link(data_, address_, data_port_);
    }
    if (sent) outgoing_.clear();
    return sent;
}

const std::string& Session::data_arrived(std::string_view bytes) {
    display_ = display_text(bytes);
    return display_;
}

void Session::data_closed() {
    display_.clear();
}

}  // namespace delpad
