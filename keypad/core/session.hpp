// DELPAD's session logic, the same in every front end: the settings read at
// start, the two connections, what each key sends and when a send failure
// is reported, SALVA IP, OFF, and the display line. The front end supplies
// the two connections and shows what the session decides.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "key_table.hpp"

namespace delpad {

// How long a key press waits for the one fresh connect of SEND.
inline constexpr int reconnect_wait_ms = 2000;

// One TCP client connection as the session uses it.
class Link {
public:
    virtual ~Link() = default;
    // Starts connecting and returns at once; the connection completes later.
    virtual void open(const std::string& host, std::uint16_t port) = 0;
    // Connects and waits for the outcome, at most reconnect_wait_ms; true
    // when the connection is usable.
    virtual bool open_now(const std::string& host, std::uint16_t port) = 0;
    virtual void close() = 0;
    // Connected and usable.
    virtual bool is_open() const = 0;
    // Neither connected nor connecting: a new connect may start.
    virtual bool is_idle() const = 0;
    // Sends the whole message; false when it cannot.
    virtual bool send(std::string_view bytes) = 0;
};

// The texts of the three settings fields.
struct SettingsFields {
    std::string address;  // Text3
    std::string data;     // Text4
    std::string send;     // Text5
};

class Session {
public:
    // `dir` holds ip.txt, Data.txt and Send.txt.
    Session(Link& data, Link& send, std::filesystem::path dir);

    // Start-up: the three settings files, read into the fields' texts.
    SettingsFields read_settings() const;
    // CONNETTI: address and ports from the fields, then both connections.
    // A connect is not tried without an address, with a port that is not
    // positive, or while that connection is in use.
    void connect(const SettingsFields& fields);
    // DISCONNETTI: closes DATA, then SEND.
    void disconnect();
    // SALVA IP: writes ip.txt, closes both connections and connects again.
    // False when ip.txt could not be written (the front end says so); the
    // connections are renewed either way.
    bool save_address(const SettingsFields& fields);
    // OFF, before the front end ends the program.
    void off();

    // A key press. True when its message went out or there was nothing to
    // send; false when the front end must show send_failure_text. When SEND
    // is found closed, it is connected once more (waiting a bounded time)
    // before the failure is reported, and a closed DATA is started again.
    bool press(const KeySpec& key);

    // An arrival on DATA; the new display text (code page 1252 decoded by
    // the front end with decode_cp1252).
    const std::string& data_arrived(std::string_view bytes);
    // DATA closed: the display is blanked, so no stale amount stays.
    void data_closed();
    const std::string& display() const { return display_; }

    // Both connections usable: what the connection mark shows.
    bool connected() const { return data_.is_open() && send_.is_open(); }

    const std::string& address() const { return address_; }
    std::int16_t data_port() const { return data_port_; }
    std::int16_t send_port() const { return send_port_; }
    // The code left by a failed send (Text1); empty otherwise.
    const std::string& outgoing() const { return outgoing_; }

private:
    bool send_outgoing();
    bool send_once();
    static void open_link(Link& link, const std::string& host, std::int16_t port);

    Link& data_;
    Link& send_;
    std::filesystem::path dir_;
    std::string address_;
    std::int16_t data_port_ = 0;
    std::int16_t send_port_ = 0;
    std::string outgoing_;  // Text1
    std::string digits_;    // Text2
    std::string display_;
};

}  // namespace delpad
