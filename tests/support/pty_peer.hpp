// A pseudo-terminal peer for the serial channel (POSIX): the test's script
// plays the register's end of a real serial line, and the library opens the
// other end by its path (ECR_COM<n>).
#pragma once

#include <atomic>
#include <functional>
#include <optional>
#include <string>
#include <thread>

namespace veltra::test {

class PtyIo {
public:
    PtyIo(int master, const std::atomic<bool>& stopping) : master_(master), stopping_(stopping) {}
    // Exactly n bytes, or nothing when timeout_ms pass first.
    std::optional<std::string> read(std::size_t n, int timeout_ms = 12000);
    // Whatever arrives within timeout_ms.
    std::string read_some(int timeout_ms);
    void write(const std::string& bytes);
    bool stopping() const { return stopping_.load(); }
    // Plays an echoing register until the peer is stopped.
    void echo_until_stopped();
    std::string received;

private:
    int master_;
    const std::atomic<bool>& stopping_;
};

class PtyPeer {
public:
    using Script = std::function<void(PtyIo&)>;
    // Makes the pseudo-terminal; a script, when given, runs on a thread of its own.
    explicit PtyPeer(Script script = {});
    ~PtyPeer();
    PtyPeer(const PtyPeer&) = delete;
    PtyPeer& operator=(const PtyPeer&) = delete;

    const std::string& path() const { return path_; }
    // A descriptor of the library's end, for tcgetattr.
    int line_fd() const { return slave_; }
    // Stops the script and returns what it received.
    std::string finish();
    // Closes the register's end: the library's next read or write fails.
    void hang_up();

private:
    int master_ = -1;
    int slave_ = -1;
    std::string path_;
    std::atomic<bool> stopping_{false};
    std::string received_;
    std::thread thread_;
};

}  // namespace veltra::test
