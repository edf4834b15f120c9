// A run's files converted on several threads and shown in their own order.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "cli/run_log.h"
#include "convert/convert_file.h"

struct pool_settings {
    convert_fn source_converter;
    convert_fn target_converter;
    const char *target_ext;
    int replace_mode;
    int dry_run_mode;
    int jobs;                   // threads, at least 1
    bool (*stop_requested)();   // asked before each file is begun
};

// Converts `files` on up to `jobs` threads, each file in a job of its
// thread's, as soon as a thread is free.  An output whose name another file
// of the run may want waits under a temporary name, and take() gives it its
// name in the order of the files; any other output takes its name at once,
// as no other file can take it.  So the names, and every line and row, come
// out as one thread gives them.
class conversion_pool {
public:
    conversion_pool(const std::vector<std::string> &files, const pool_settings &settings);
    // Waits for the files under way; those not begun stay so.
    ~conversion_pool();
    conversion_pool(const conversion_pool &) = delete;
    conversion_pool &operator=(const conversion_pool &) = delete;

    // The log of file `index` once it is converted and its output named;
    // null when it was never begun (a stop was asked first).  Call it for
    // each file in order, on the thread that made the pool.
    file_log *take(std::size_t index);

private:
    struct slot {
        file_log log;
        bool done = false;
        bool begun = false;
        bool output_waiting = false;
        waiting_output output{};
    };
    void work();

    const std::vector<std::string> &files_;
    const pool_settings settings_;
    std::vector<bool> named_in_order_;
    std::vector<slot> slots_;
    std::atomic<std::size_t> next_{0};
    std::mutex mutex_;
    std::condition_variable finished_;
    std::vector<std::thread> threads_;
};

// For each file, whether another of `files` may want its output's name: the
// same directory and name without extension, once a "_N" that the
// numbering of a taken name adds is taken off ("a.txt", "A.md" and
// "a_1.rtf" may all want "a.html", "a_1.html" ...).
std::vector<bool> names_wanted_twice(const std::vector<std::string> &files);

// The number of logical processors, the default number of jobs.
int logical_processors();
