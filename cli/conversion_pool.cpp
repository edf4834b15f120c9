// A run's files on several threads.  The engine's conversion of a file is
// its thread's alone (a job with its own path buffers and modes); what the
// threads share is chosen here in one order, by the thread that shows the
// results: the outputs' names, the lines on both streams and the report's
// rows.  A name chosen under that order is the name one thread would have
// chosen, whatever finished first: a failed file before it never took one.
#include "cli/conversion_pool.h"

#include <windows.h>

#include <algorithm>
#include <map>

#include "support/paths.h"

std::vector<bool> names_wanted_twice(const std::vector<std::string> &files)
{
    std::vector<std::string> stems;
    std::map<std::string, int> wanted;
    for (const std::string &file : files) {
        std::string stem = file;
        const std::size_t name_start = directory_part_length(file.c_str());
        const std::size_t dot = stem.rfind('.');
        if (dot != std::string::npos && dot >= name_start)
            stem.erase(dot);
        const std::size_t digits = stem.find_last_not_of("0123456789");
        if (digits != std::string::npos && digits + 1 < stem.size() && stem[digits] == '_' && digits > name_start)
            stem.erase(digits);
        // The file system's own sense of one name in two cases.
        if (!stem.empty())
            CharUpperBuffA(&stem[0], static_cast<DWORD>(stem.size()));
        ++wanted[stem];
        stems.push_back(stem);
    }
    std::vector<bool> twice;
    for (const std::string &stem : stems)
        twice.push_back(wanted[stem] > 1);
    return twice;
}

conversion_pool::conversion_pool(const std::vector<std::string> &files, const pool_settings &settings)
    : files_(files), settings_(settings), named_in_order_(names_wanted_twice(files)), slots_(files.size())
{
    const std::size_t threads = std::min<std::size_t>(std::max(settings.jobs, 1), files.size());
    threads_.reserve(threads);
    for (std::size_t i = 0; i < threads; ++i)
        threads_.emplace_back([this] { work(); });
}

conversion_pool::~conversion_pool()
{
    for (std::thread &thread : threads_)
        thread.join();
}

void conversion_pool::work()
{
    owned_job owned(settings_.replace_mode, settings_.dry_run_mode);
    conversion_job &job = owned.job;
    for (;;) {
        const std::size_t index = next_.fetch_add(1);
        if (index >= files_.size())
            return;
        job.output_named_later = named_in_order_[index];
        slot &mine = slots_[index];
        // Files not yet begun are passed over once a stop is asked: the
        // ones under way finish, with their outputs named.
        const bool begin = !settings_.stop_requested || !settings_.stop_requested();
        job.output_waiting = false;
        if (begin) {
            set_current_file(&mine.log);
            convert_file(job, files_[index].c_str(), settings_.target_ext, settings_.source_converter,
                         settings_.target_converter);
            set_current_file(nullptr);
        }
        const std::lock_guard<std::mutex> hold(mutex_);
        mine.begun = begin;
        mine.output_waiting = begin && job.output_waiting;
        if (mine.output_waiting)
            mine.output = job.waiting;
        mine.done = true;
        finished_.notify_all();
    }
}

file_log *conversion_pool::take(std::size_t index)
{
    slot &wanted = slots_[index];
    {
        std::unique_lock<std::mutex> hold(mutex_);
        finished_.wait(hold, [&] { return wanted.done; });
    }
    if (!wanted.begun)
        return nullptr;
    if (wanted.output_waiting) {
        set_current_file(&wanted.log);
        name_waiting_output(wanted.output, settings_.target_ext);
        set_current_file(nullptr);
    }
    return &wanted.log;
}

int logical_processors()
{
    SYSTEM_INFO system;
    GetSystemInfo(&system);
    return std::max(static_cast<int>(system.dwNumberOfProcessors), 1);
}
