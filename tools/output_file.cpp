#include "tools/output_file.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <new>
#include <system_error>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>

#include <random>
#else
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace {

std::string in_quotes(const std::string& text) { return "'" + text + "'"; }

OutputError cannot_write(const std::string& name, const std::string& why) {
    if (name == standard_output_name) return OutputError("cannot write standard output: " + why);
    return OutputError("cannot write " + in_quotes(name) + ": " + why);
}

enum class Way { standard_output, replace, write_through };

struct Target {
    Way way;
    std::string path;  // what is written or replaced, links followed
    bool exists = false;
};

// How `name` is written; throws the reason it cannot be as a plain string.
Target target_of(const std::string& name) {
    if (name == standard_output_name) return {Way::standard_output, name};
    if (name.empty()) throw std::runtime_error("no file name");
    fs::path path(name);
    for (int links = 0;; ++links) {
        std::error_code error;
        const fs::file_status status = fs::symlink_status(path, error);
        if (error && status.type() != fs::file_type::not_found) throw std::runtime_error(error.message());
        switch (status.type()) {
            case fs::file_type::not_found:
                if (!path.has_filename()) throw std::runtime_error("no file name");
                return {Way::replace, path.string(), false};
            case fs::file_type::regular: return {Way::replace, path.string(), true};
            case fs::file_type::symlink: {
                // As the system resolves links, with the same limit.
                if (links == 40) throw std::runtime_error(std::strerror(ELOOP));
                const fs::path leads_to = fs::read_symlink(path, error);
                if (error) throw std::runtime_error(error.message());
                path = leads_to.is_absolute() ? leads_to : path.parent_path() / leads_to;
                continue;
            }
            case fs::file_type::directory: throw std::runtime_error("it is a directory");
            case fs::file_type::fifo:
            case fs::file_type::character: return {Way::write_through, path.string(), true};
            case fs::file_type::socket:
                throw std::runtime_error("it is a socket (a picture goes to a file, a FIFO or a character device)");
            case fs::file_type::block:
                throw std::runtime_error(
                    "it is a block device (a picture goes to a file, a FIFO or a character device)");
            default: throw std::runtime_error("it is no file that a picture can be written to");
        }
    }
}

std::string directory_of(const std::string& path) {
    const fs::path parent = fs::path(path).parent_path();
    return parent.empty() ? std::string(".") : parent.string();
}

bool standard_output_is_terminal() {
#ifdef _WIN32
    return _isatty(_fileno(stdout)) != 0;
#else
    return isatty(STDOUT_FILENO) != 0;
#endif
}

// --- The temporary file, and its removal when the tool is stopped ----------

#ifndef _WIN32
// Set while a temporary file exists, read by the signal handler.
char pending_temporary[4096];
volatile std::sig_atomic_t temporary_pending = 0;

extern "C" void remove_temporary_and_stop(int signal_number) {
    if (temporary_pending) unlink(pending_temporary);
    std::signal(signal_number, SIG_DFL);
    std::raise(signal_number);
}
#endif

// An open, new, empty file beside `path`, under a name no other file has.
struct Temporary {
    std::FILE* file = nullptr;
    std::string path;
};

Temporary create_temporary_beside(const std::string& path) {
    Temporary temporary;
#ifdef _WIN32
    std::random_device entropy;
    for (int attempt = 0; attempt < 100 && !temporary.file; ++attempt) {
        char suffix[32];
        std::snprintf(suffix, sizeof suffix, ".tmp%08x", entropy());
        temporary.path = path + suffix;
        temporary.file = std::fopen(temporary.path.c_str(), "wbx");
        if (!temporary.file && errno != EEXIST) break;
    }
    if (!temporary.file) throw std::runtime_error(std::strerror(errno));
#else
    std::string name = path + ".tmp-XXXXXX";
    if (name.size() >= sizeof pending_temporary) throw std::runtime_error(std::strerror(ENAMETOOLONG));
    // A stop that came between the file's creation and the handler's
    // learning its name would leave the file behind: the stopping signals
    // wait until the handler knows it.
    sigset_t stopping, before;
    sigemptyset(&stopping);
    for (int signal_number : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&stopping, signal_number);
    pthread_sigmask(SIG_BLOCK, &stopping, &before);
    const int descriptor = mkstemp(name.data());
    const int creation_error = errno;
    if (descriptor >= 0) {
        std::memcpy(pending_temporary, name.c_str(), name.size() + 1);
        temporary_pending = 1;
    }
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    if (descriptor < 0) throw std::runtime_error(std::strerror(creation_error));
    temporary.path = name;
    temporary.file = fdopen(descriptor, "wb");
    if (!temporary.file) {
        const int cause = errno;
        close(descriptor);
        unlink(name.c_str());
        temporary_pending = 0;
        throw std::runtime_error(std::strerror(cause));
    }
#endif
    return temporary;
}

void remove_temporary(const std::string& path) {
    std::remove(path.c_str());
#ifndef _WIN32
    temporary_pending = 0;
#endif
}

// The mode a replacing file gets: that of the file it replaces, or what a
// newly created file would get.
void give_mode(std::FILE* file, const Target& target) {
#ifdef _WIN32
    (void)file;
    (void)target;
#else
    mode_t mode = 0;
    struct stat status {};
    if (target.exists && stat(target.path.c_str(), &status) == 0) {
        mode = status.st_mode & 07777;
    } else {
        const mode_t mask = umask(0);
        umask(mask);
        mode = 0666 & ~mask;
    }
    fchmod(fileno(file), mode);
#endif
}

// Runs `write` on `file` and closes it; the reason of the first failure, or
// an empty string.
std::string write_and_close(std::FILE* file, const std::function<void(std::FILE*)>& write, bool close) {
    std::string why;
    try {
        write(file);
    } catch (const std::bad_alloc&) {
        why = "out of memory";
    } catch (const std::exception& error) {
        why = error.what();
    }
    if (why.empty() && std::fflush(file) != 0) why = std::strerror(errno);
    if (close && std::fclose(file) != 0 && why.empty()) why = std::strerror(errno);
    return why;
}

void check_directory_takes_files(const std::string& directory) {
    std::error_code error;
    const fs::file_status status = fs::status(directory, error);
    if (status.type() == fs::file_type::not_found)
        throw std::runtime_error("no such directory " + in_quotes(directory));
    if (error) throw std::runtime_error(in_quotes(directory) + ": " + error.message());
    if (status.type() != fs::file_type::directory)
        throw std::runtime_error(in_quotes(directory) + " is not a directory");
    // Creating a file is the only test that every platform and file system
    // answers truthfully.
    Temporary probe;
    try {
        probe = create_temporary_beside((fs::path(directory) / ".ombrastel-probe").string());
    } catch (const std::exception& refused) {
        throw std::runtime_error("the directory " + in_quotes(directory) +
                                 " does not take new files: " + refused.what());
    }
    std::fclose(probe.file);
    remove_temporary(probe.path);
}

}  // namespace

void OutputCheck::check(const std::string& name) {
    try {
        const Target target = target_of(name);
        switch (target.way) {
            case Way::standard_output:
                if (standard_output_is_terminal())
                    throw std::runtime_error("it is a terminal (redirect it to a file or a pipe)");
                return;
            case Way::write_through:
#ifndef _WIN32
                if (access(target.path.c_str(), W_OK) != 0) throw std::runtime_error(std::strerror(errno));
#endif
                return;
            case Way::replace: {
                const std::string directory = directory_of(target.path);
                if (writable_directories_.count(directory)) return;
                check_directory_takes_files(directory);
                writable_directories_.insert(directory);
                return;
            }
        }
    } catch (const OutputError&) {
        throw;
    } catch (const std::exception& error) {
        throw cannot_write(name, error.what());
    }
}

void write_output(const std::string& name, const std::function<void(std::FILE*)>& write) {
    Target target;
    try {
        target = target_of(name);
    } catch (const std::exception& error) {
        throw cannot_write(name, error.what());
    }

    if (target.way == Way::standard_output) {
        if (standard_output_is_terminal())
            throw cannot_write(name, "it is a terminal (redirect it to a file or a pipe)");
#ifdef _WIN32
        _setmode(_fileno(stdout), _O_BINARY);
#endif
        const std::string why = write_and_close(stdout, write, false);
        if (!why.empty()) throw cannot_write(name, why);
        return;
    }

    if (target.way == Way::write_through) {
#ifdef _WIN32
        std::FILE* file = std::fopen(target.path.c_str(), "wb");
#else
        // No O_CREAT: should the name be gone by now, nothing is made in its
        // place; no O_TRUNC: what a device or a FIFO has is not a file's.
        const int descriptor = open(target.path.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
        std::FILE* file = descriptor < 0 ? nullptr : fdopen(descriptor, "wb");
        if (descriptor >= 0 && !file) close(descriptor);
#endif
        if (!file) throw cannot_write(name, std::strerror(errno));
        const std::string why = write_and_close(file, write, true);
        if (!why.empty()) throw cannot_write(name, why);
        return;
    }

    const std::string directory = directory_of(target.path);
    Temporary temporary;
    try {
        temporary = create_temporary_beside(target.path);
    } catch (const std::exception& error) {
        // The directory's own fault, when it has one, says more than the
        // failed creation.
        try {
            check_directory_takes_files(directory);
        } catch (const std::exception& fault) {
            throw cannot_write(name, fault.what());
        }
        throw cannot_write(name, error.what());
    }
    give_mode(temporary.file, target);
    std::string why;
    try {
        why = write_and_close(temporary.file, write, true);
    } catch (...) {
        remove_temporary(temporary.path);
        throw;
    }
    if (why.empty()) {
        std::error_code error;
        fs::rename(temporary.path, target.path, error);
        if (error) why = error.message();
    }
    if (!why.empty()) {
        remove_temporary(temporary.path);
        throw cannot_write(name, why);
    }
#ifndef _WIN32
    temporary_pending = 0;
#endif
}

void prepare_output_signals() {
#ifndef _WIN32
    std::signal(SIGPIPE, SIG_IGN);
    for (int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
        // A signal the caller chose to ignore stays ignored.
        if (std::signal(signal_number, remove_temporary_and_stop) == SIG_IGN) std::signal(signal_number, SIG_IGN);
    }
#endif
}
