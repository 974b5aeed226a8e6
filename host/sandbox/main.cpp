// sandbox-run: runs a command in a private mount namespace whose /mnt, /opt,
// /var, /boot and a few /dev entries come from one host directory ROOT;
// optionally with the host logger serving ROOT/dev/sidechannel for the run.
//
// It stands around the command as env and timeout do: the command starts with
// the signal handling the runner was given, its status comes back, a signal to
// the runner is passed on, and no process of the run outlives the runner.
// Process ids stay the host's, as the logger reports them.
#include "sandbox_run.h"

int main(int argc, char** argv) {
    if (is_launch_step(argc, argv)) {
        launch(argc, argv);
    }
    const int status = read_options(argc, argv);
    if (status >= 0) {
        return status;
    }
    if (!check_tools() || !take_signals() || !prepare_root() ||
        (options.logger && !start_logger()) || !start_sandbox()) {
        stop_logger();
        return stop_cause > 0 ? 128 + stop_cause : CANCELED;
    }
    supervise();
    stop_logger();
    return exit_status();
}

bool complain(const std::string& text) {
    const std::string line = "sandbox-run: " + text + "\n";
    (void)!write(STDERR_FILENO, line.data(), line.size());
    return false;
}

bool complain(const std::string& text, int error) {
    return complain(text + ": " + std::strerror(error));
}

// The directory this program lies in.
std::string program_directory() {
    char path[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) {
        return ".";
    }
    const std::string program(path, static_cast<std::size_t>(n));
    return program.substr(0, program.rfind('/'));
}

// In a child: executes `program` (execv or execvp) with `words` as its
// arguments, or says why it cannot and ends with 125.
void exec_words(int (*exec)(const char*, char* const*), const char* program,
                const std::vector<std::string>& words) {
    std::vector<char*> argv;
    argv.reserve(words.size() + 1);
    for (const std::string& word : words) {
        argv.push_back(const_cast<char*>(word.c_str()));
    }
    argv.push_back(nullptr);
    exec(program, argv.data());
    complain(words[0], errno);
    _exit(CANCELED);
}
