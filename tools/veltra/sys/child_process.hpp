// A child process with pipes on its standard input and output, used by the
// tool's service to run each register's work in a process of its own.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace veltra::sys {

class ChildProcess {
public:
    // Starts program with args (argv[0] excluded), in directory dir, with the
    // variables of env added to (or replacing those of) the current
    // environment. Throws std::runtime_error when the process cannot start.
    ChildProcess(const std::string& program, const std::vector<std::string>& args,
                 const std::string& dir, const std::map<std::string, std::string>& env);
    ~ChildProcess();  // kills the child if it still runs, then reaps it
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Writes one line (a '\n' is added). False when the child's input is gone.
    bool write_line(const std::string& line);
    // The next line of the child's output without its '\n', waiting at most
    // timeout_ms. Nothing on time-out, on end of output, or for a line longer
    // than max_bytes (the child is then no longer trusted). ended tells end
    // of output apart from a time-out.
    std::optional<std::string> read_line(int timeout_ms, std::size_t max_bytes, bool& ended);
    // Closes the child's input: it reads end of file.
    void close_input();
    // Waits at most timeout_ms for the child to end; its exit code, or
    // nothing when it still runs (or was killed).
    std::optional<int> wait_exit(int timeout_ms);
    // Ends the child at once (no clean-up runs in it).
    void kill();
    long id() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// A write to a pipe whose reader is gone fails instead of ending the
// program (POSIX SIGPIPE; nothing to do on Windows).
void ignore_broken_pipes();

// A child that must not outlive the process that started it (a worker in
// the middle of a change while a new service verifies it) calls this
// first: it then ends when its parent does, however the parent ended.
void end_with_parent();

// The program and arguments that run a command line through the
// platform's shell (/bin/sh -c on POSIX, cmd.exe /c on Windows).
std::pair<std::string, std::vector<std::string>> shell_command(const std::string& command_line);

// The running program's own path, for starting a copy of it.
std::string own_program_path();

}  // namespace veltra::sys
