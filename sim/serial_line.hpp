// ecrsim's serial endpoint: the register's end of a serial line, on a
// pseudo-terminal it makes (its device path is what a user names in
// ECR_COM<n>) or on a device it is given. It takes the pieces of text the
// library writes and can echo every byte back.
#pragma once

#include <functional>
#include <memory>
#include <string>

namespace ecrsim {

struct SerialOptions {
    std::string path;   // a device to open; empty: make a pseudo-terminal
    bool echo = false;  // send every byte received straight back
    // One line per piece received; runs on the line's own thread.
    std::function<void(const std::string&)> log;
};

class SerialLine {
public:
    // Opens the line and starts its thread; throws std::runtime_error when
    // the device cannot be had (and always on Windows, which has no
    // pseudo-terminals: there the endpoint is not available).
    explicit SerialLine(SerialOptions options);
    ~SerialLine();
    SerialLine(const SerialLine&) = delete;
    SerialLine& operator=(const SerialLine&) = delete;

    // The device the library opens (the pseudo-terminal's path).
    const std::string& device() const;
    void set_echo(bool on);
    // Sends bytes to the library, as data for it to receive.
    void send(const std::string& bytes);
    // Everything received so far.
    std::string received() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace ecrsim
