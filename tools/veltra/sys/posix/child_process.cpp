// Child processes on POSIX: fork and exec with two pipes.
#include "sys/child_process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <stdexcept>

namespace veltra::sys {

struct ChildProcess::Impl {
    pid_t pid = -1;
    int to_child = -1;
    int from_child = -1;
    std::string pending;
    bool ended = false;
};

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& args,
                           const std::string& dir, const std::map<std::string, std::string>& env)
    : impl_(std::make_unique<Impl>()) {
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe: " + std::string(strerror(errno)));
    if (pipe2(out, O_CLOEXEC) != 0) {
        close(in[0]);
        close(in[1]);
        throw std::runtime_error("pipe: " + std::string(strerror(errno)));
    }
    // Everything the child needs is built before fork: only async-signal-safe
    // calls run between fork and exec.
    std::vector<std::string> argv_s{program};
    argv_s.insert(argv_s.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : argv_s) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> env_s;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry = *e;
        const std::string name = entry.substr(0, entry.find('='));
        if (env.count(name) == 0) env_s.push_back(entry);
    }
    for (const auto& [name, value] : env) env_s.push_back(name + "=" + value);
    std::vector<char*> envp;
    for (std::string& e : env_s) envp.push_back(e.data());
    envp.push_back(nullptr);

    // Only the pipes and stderr go to the child: a connection the parent
    // serves must end when the parent closes it, not live on in a worker.
    const long open_max = sysconf(_SC_OPEN_MAX);
    const int last_fd = open_max > 0 && open_max < 65536 ? static_cast<int>(open_max) : 65536;

    const pid_t pid = fork();
    if (pid < 0) {
        for (int fd : {in[0], in[1], out[0], out[1]}) close(fd);
        throw std::runtime_error("fork: " + std::string(strerror(errno)));
    }
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        if (close_range(3, ~0U, 0) != 0)
            for (int fd = 3; fd < last_fd; ++fd) close(fd);
        if (chdir(dir.c_str()) != 0) _exit(127);
        execve(program.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    impl_->pid = pid;
    impl_->to_child = in[1];
    impl_->from_child = out[0];
}

ChildProcess::~ChildProcess() {
    kill();
    if (impl_->to_child >= 0) close(impl_->to_child);
    if (impl_->from_child >= 0) close(impl_->from_child);
}

bool ChildProcess::write_line(const std::string& line) {
    if (impl_->to_child < 0) return false;
    const std::string text = line + "\n";
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(impl_->to_child, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

std::optional<std::string> ChildProcess::read_line(int timeout_ms, std::size_t max_bytes,
                                                   bool& ended) {
    ended = impl_->ended;
    for (;;) {
        const std::size_t nl = impl_->pending.find('\n');
        if (nl != std::string::npos) {
            std::string line = impl_->pending.substr(0, nl);
            impl_->pending.erase(0, nl + 1);
            return line;
        }
        if (impl_->pending.size() > max_bytes || impl_->ended) {
            ended = impl_->ended;
            return std::nullopt;
        }
        pollfd p{impl_->from_child, POLLIN, 0};
        const int r = poll(&p, 1, timeout_ms);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return std::nullopt;
        char buf[65536];
        const ssize_t n = ::read(impl_->from_child, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            impl_->ended = ended = true;
            return std::nullopt;
        }
        impl_->pending.append(buf, static_cast<std::size_t>(n));
    }
}

void ChildProcess::close_input() {
    if (impl_->to_child >= 0) close(impl_->to_child);
    impl_->to_child = -1;
}

std::optional<int> ChildProcess::wait_exit(int timeout_ms) {
    if (impl_->pid <= 0) return std::nullopt;
    for (int waited = 0;; waited += 10) {
        int status = 0;
        const pid_t r = waitpid(impl_->pid, &status, WNOHANG);
        if (r == impl_->pid) {
            impl_->pid = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        if (r < 0 && errno != EINTR) return std::nullopt;
        if (waited >= timeout_ms) return std::nullopt;
        usleep(10000);
    }
}

void ChildProcess::kill() {
    if (impl_->pid <= 0) return;
    ::kill(impl_->pid, SIGKILL);
    int status = 0;
    while (waitpid(impl_->pid, &status, 0) < 0 && errno == EINTR) {
    }
    impl_->pid = -1;
}

long ChildProcess::id() const {
    return impl_->pid;
}

void ignore_broken_pipes() {
    signal(SIGPIPE, SIG_IGN);
}

std::pair<std::string, std::vector<std::string>> shell_command(const std::string& command_line) {
    return {"/bin/sh", {"-c", command_line}};
}

std::string own_program_path() {
    return std::filesystem::read_symlink("/proc/self/exe").string();
}

void end_with_parent() {
#ifdef __linux__
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    // The parent may have ended before the call: the child was handed on.
    if (getppid() == 1) _exit(1);
#endif
}

}  // namespace veltra::sys
