// equilex-convert: reads a data-file in any of the three formats and writes it in any of them,
// with the library's own readers and writers. The build makes the .cst and .bin sample data with
// it; tests use it to make good files and, with --cst-version, transparent files of an unknown
// version.
//
//   equilex-convert [options] INPUT OUTPUT
//   equilex-convert --check INPUT
//
// Formats follow the extensions (.dat, .cst, .bin in any case) unless --from / --to name them.
// Options:
//   --from FORMAT, --to FORMAT   dat, cst or bin
//   --cst-version N              the version a .cst header states (default: the current one)
//   --no-commentary              write a .dat without the commentary block
//   --check                      only read INPUT
// Exit status: 0 done; 1 bad usage or a file that cannot be read or written; 2 the reader
// refused INPUT: the library's error number and message are printed on standard error as
// "error N: message".
#include <cctype>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>

#include "datafile.hpp"

namespace {

using eqx::datafile::Format;

std::optional<Format> format_named(std::string word) {
    for (char& ch : word) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    if (word == "dat") return Format::dat;
    if (word == "cst") return Format::cst;
    if (word == "bin") return Format::bin;
    return std::nullopt;
}

std::optional<Format> format_of_path(const std::string& path) {
    std::size_t dot = path.rfind('.');
    if (dot == std::string::npos) return std::nullopt;
    return format_named(path.substr(dot + 1));
}

int usage(const char* message) {
    std::cerr << "equilex-convert: " << message << "\n"
              << "usage: equilex-convert [--from F] [--to F] [--cst-version N] [--no-commentary] "
                 "INPUT OUTPUT\n       equilex-convert [--from F] --check INPUT\n";
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    std::optional<Format> from, to;
    std::optional<unsigned long> cst_version;
    bool commentary = true;
    bool check_only = false;
    std::string paths[2];
    int path_count = 0;
    for (int i = 1; i < argc; ++i) {
        std::string argument = argv[i];
        auto value = [&]() -> std::optional<std::string> {
            if (i + 1 >= argc) return std::nullopt;
            return std::string(argv[++i]);
        };
        if (argument == "--from" || argument == "--to") {
            auto word = value();
            auto format = word ? format_named(*word) : std::nullopt;
            if (!format) return usage("--from and --to take dat, cst or bin");
            (argument == "--from" ? from : to) = format;
        } else if (argument == "--cst-version") {
            auto word = value();
            char* end = nullptr;
            unsigned long number = word ? std::strtoul(word->c_str(), &end, 10) : 0;
            if (!word || word->empty() || *end != '\0' || number > 0xffffffffUL)
                return usage("--cst-version takes a number");
            cst_version = number;
        } else if (argument == "--no-commentary") {
            commentary = false;
        } else if (argument == "--check") {
            check_only = true;
        } else if (argument.size() > 1 && argument[0] == '-') {
            return usage(("unknown option " + argument).c_str());
        } else if (path_count < 2) {
            paths[path_count++] = argument;
        } else {
            return usage("too many file names");
        }
    }
    if (path_count != (check_only ? 1 : 2)) return usage("wrong number of file names");
    if (!from) from = format_of_path(paths[0]);
    if (!from) return usage("cannot tell the input format: use --from");
    if (!check_only) {
        if (!to) to = format_of_path(paths[1]);
        if (!to) return usage("cannot tell the output format: use --to");
    }

    std::FILE* input = std::fopen(paths[0].c_str(), "rb");
    std::string bytes;
    bool read = input && eqx::datafile::read_whole_file(input, bytes);
    if (input) std::fclose(input);
    if (!read) {
        std::cerr << "equilex-convert: cannot read " << paths[0] << "\n";
        return 1;
    }
    eqx::datafile::ReadResult result = eqx::datafile::read(*from, bytes);
    if (result.error != 0) {
        std::cerr << "error " << result.error << ": " << result.message << "\n";
        return 2;
    }
    if (check_only) return 0;

    std::string text;
    switch (*to) {
        case Format::dat:
            text = eqx::datafile::write_dat(*result.system, commentary);
            break;
        case Format::cst:
            text = eqx::datafile::write_cst(*result.system,
                                            cst_version ? static_cast<std::uint32_t>(*cst_version)
                                                        : eqx::datafile::cst_version);
            break;
        case Format::bin:
            text = eqx::datafile::write_bin(*result.system);
            break;
    }
    std::ofstream output(paths[1], std::ios::binary);
    output.write(text.data(), static_cast<std::streamsize>(text.size()));
    output.close();
    if (!output) {
        std::cerr << "equilex-convert: cannot write " << paths[1] << "\n";
        return 1;
    }
    return 0;
}
