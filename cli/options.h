// mxconv's command line.
#pragma once

#include <string>
#include <vector>

struct cli_options {
    std::string source_format;  // -f
    std::string target_format;  // -t
    bool recursive = false;     // -r
    bool replace = false;       // --replace
    bool dry_run = false;       // --dry-run
    bool quiet = false;         // -q
    bool list_formats = false;  // --formats
    bool help = false;          // --help
    bool version = false;       // --version
    std::string report_path;    // --report FILE.csv
    std::string plugin_dir;     // --plugins DIR; "" for the executable's own
    int jobs = 0;               // -j N, --jobs N; 0 for one per logical processor
    std::vector<std::string> paths;
};

// The most conversions mxconv runs at once.
constexpr int most_jobs = 64;

extern const char usage_text[];

// Reads argv[1..]; false with `error` set on a usage error.
bool parse_options(int argc, char **argv, cli_options &options, std::string &error);
