// SPDX-License-Identifier: MIT
// Command line of the vornak tool. Every failure is one line on stderr,
// "vornak: error: ...", with exit code 2 for a bad command line and 1 for
// a refused or failed command; output files appear only on success. Options
// may stand before or after the positional arguments, and each option takes
// one value per use (--icon is given once per file).
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <string>

#include <CLI/CLI.hpp>

#include "tools/vornak/app/app_check.h"
#include "tools/vornak/link/build.h"
#include "tools/vornak/base/error.h"
#include "tools/vornak/payload/extract.h"
#include "tools/vornak/base/files.h"
#include "tools/vornak/payload/payload_writer.h"
#include "tools/vornak/report/image_facts.h"
#include "tools/vornak/report/image_report.h"
#include "tools/vornak/base/progress.h"
#include "tools/vornak/cli/version.h"

namespace {

constexpr int EXIT_FAILED = 1;
constexpr int EXIT_USAGE = 2;

CLI::Option *add_allow_dll_option(CLI::App *cmd, std::vector<std::string> &allowed) {
    return cmd
        ->add_option("--allow-dll", allowed,
                     "a DLL the target machines are known to have, imported but not carried; once per DLL")
        ->allow_extra_args(false);
}

void print_warnings(const std::vector<std::string> &warnings) {
    for (const std::string &w : warnings) std::fprintf(stderr, "vornak: warning: %s\n", w.c_str());
}

void add_pack_options(CLI::App *cmd, vornak::PackOptions &pack, bool &quiet) {
    cmd->add_option("--level", pack.level, "zstd compression level (1..22)")
        ->default_val(vornak::DEFAULT_LEVEL)
        ->check(CLI::Range(1, 22));
    cmd->add_option("--threads", pack.threads, "zstd worker threads (0: one per core); the output is the same for any count")
        ->default_val(0)
        ->check(CLI::Range(0, 256));
    cmd->add_option("--exclude", pack.filter.excludes,
                    "leave out files and folders matching GLOB (repeatable; * ? [a-z] **, against the path "
                    "inside APP_DIR with /; without / against the name alone)")
        ->type_name("GLOB")
        ->allow_extra_args(false);
    cmd->add_flag("--quiet", quiet, "print nothing on success, and no progress");
}

// A payload holds files only: the launcher cannot recreate an empty folder.
void warn_empty_folders(const std::vector<std::string> &folders) {
    for (const std::string &f : folders)
        std::fprintf(stderr, "vornak: warning: empty folder '%s' is left out (a payload holds files only)\n",
                     vornak::printable(f).c_str());
}

// Levenshtein distance, for suggesting a name close to a mistyped one.
size_t edit_distance(const std::string &a, const std::string &b) {
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        size_t diagonal = row[0];
        row[0] = i;
        for (size_t j = 1; j <= b.size(); ++j) {
            size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] != b[j - 1])});
            diagonal = above;
        }
    }
    return row[b.size()];
}

// The name among known nearest to word, or empty when none is near enough
// to be a likely typing slip (a third of its length, at least two edits).
std::string closest(const std::string &word, const std::vector<std::string> &known) {
    std::string best;
    size_t best_distance = std::max<size_t>(2, word.size() / 3) + 1;
    for (const std::string &k : known) {
        size_t d = edit_distance(word, k);
        if (d < best_distance) best = k, best_distance = d;
    }
    return best;
}

// Names the first word of argv that app does not know: an unknown
// subcommand, or an option its subcommand lacks, with the closest valid
// name. Empty when every word is known (the parse failed for another reason).
std::string unknown_word(CLI::App &app, int argc, char **argv) {
    CLI::App *sub = nullptr;
    std::vector<std::string> subcommands;
    for (const CLI::App *s : app.get_subcommands([](const CLI::App *) { return true; }))
        subcommands.push_back(s->get_name());
    for (int i = 1; i < argc; ++i) {
        std::string word = argv[i];
        if (word == "--") break;
        if (word.size() < 2 || word[0] != '-') {
            if (sub) continue;
            if (std::find(subcommands.begin(), subcommands.end(), word) == subcommands.end()) {
                std::string near = closest(word, subcommands);
                return "unknown command '" + vornak::printable(word) + "'" +
                       (near.empty() ? "" : "; did you mean '" + near + "'?");
            }
            sub = app.get_subcommand(word);
            continue;
        }
        if (word[1] >= '0' && word[1] <= '9') continue;  // a negative number, an option's value
        std::string name = word.substr(0, word.find('='));
        std::vector<std::string> options;
        for (CLI::App *owner : {&app, sub}) {
            if (!owner) continue;
            for (const CLI::Option *o : owner->get_options()) {
                for (const std::string &l : o->get_lnames()) options.push_back("--" + l);
                for (const std::string &s : o->get_snames()) options.push_back("-" + s);
            }
        }
        if (std::find(options.begin(), options.end(), name) != options.end()) continue;
        std::string near = closest(name, options);
        return "unknown option '" + vornak::printable(name) + "'" +
               (near.empty() ? "" : "; did you mean '" + near + "'?");
    }
    return std::string();
}

}  // namespace

int main(int argc, char **argv) {
    CLI::App app("Packs application folders and links one-file Windows launchers.", "vornak");
    app.require_subcommand(1);
    app.set_version_flag("--version", "vornak " VORNAK_VERSION);

    vornak::BuildOptions opt;
    bool quiet = false;

    CLI::App *pack = app.add_subcommand("pack", "Write the attached payload of an application folder");
    pack->add_option("APP_DIR", opt.app_dir, "application folder")->required();
    pack->add_option("--dll", opt.dll, "the application DLL, relative to APP_DIR (the first entry)")->required();
    pack->add_option("-o,--output", opt.output, "payload file to write")->required();
    add_allow_dll_option(pack, opt.allowed_dlls);
    add_pack_options(pack, opt.pack, quiet);

    CLI::App *build = app.add_subcommand("build", "Link a launcher image that carries an application");
    CLI::Option *dir_opt = build->add_option("APP_DIR", opt.app_dir, "application folder to pack");
    CLI::Option *dll_opt = build->add_option("--dll", opt.dll, "the application DLL, relative to APP_DIR");
    CLI::Option *payload_opt = build->add_option(
        "--payload", opt.payload, "a payload file to carry, checked first as the launcher will read it");
    payload_opt->excludes(dir_opt)->excludes(dll_opt);
    build->add_flag("--unchecked", opt.unchecked,
                    "carry the --payload file without checking it (to test a launcher's own refusals)")
        ->needs(payload_opt);
    dir_opt->needs(dll_opt);
    dll_opt->needs(dir_opt);
    add_allow_dll_option(build, opt.allowed_dlls)->needs(dir_opt);
    build->add_option("-o,--output", opt.output, "launcher image to write (.exe)")->required();
    vornak::BrandOptions &brand = opt.brand;
    build->add_option("--name", brand.name, "product name (default: the output's file name without extension)");
    build->add_option("--version", brand.version, "product version, 1 to 4 numbers such as 2.1 (default 0.0.0.0)");
    build->add_option("--file-version", brand.file_version, "file version, when it differs from --version");
    build->add_option("--company", brand.company, "CompanyName (default: the product name)");
    build->add_option("--description", brand.description, "FileDescription (default: the product name)");
    build->add_option("--copyright", brand.copyright, "LegalCopyright");
    build->add_option("--comments", brand.comments, "Comments");
    build->add_option("--icon", brand.icons, "a .png or .ico file of the icon; once per file")->allow_extra_args(false);
    build->add_flag("--console", opt.console, "a console program (subsystem 3): cmd waits, Ctrl+C reaches it");
    build->add_option("--cache-dir", opt.cache_template,
                      "keep the unpacked files between starts in TEMPLATE plus a key of the payload, "
                      "e.g. \"{CACHE_DIR}\\{COMPANY}\\{PRODUCT}\" (default: a fresh directory per start)");
    CLI::Option *sign_opt = build->add_option("--sign", opt.brand.sign_certificate, "certificate (.pfx) to sign with");
    CLI::Option *password_opt =
        build->add_option("--password-file", opt.brand.password_file, "file holding the certificate's password");
    CLI::Option *password_env_opt = build->add_option(
        "--password-env", opt.brand.password_env, "environment variable holding the password (none: empty)");
    CLI::Option *timestamp_opt = build->add_option(
        "--timestamp", opt.brand.timestamp_url, "RFC 3161 time-stamp authority to countersign with (http URL)");
    password_opt->needs(sign_opt)->excludes(password_env_opt);
    password_env_opt->needs(sign_opt);
    timestamp_opt->needs(sign_opt);
    build->add_option("--splash", opt.splash,
                      "a PNG image shown while a slow start unpacks (16 to 1024 x 16 to 768 pixels)");
    build->add_flag("--error-dialog", opt.error_dialog,
                    "also show a fatal error in a message box when the launcher has no standard output or "
                    "error (started from Explorer); an unattended start then waits for a click");
    add_pack_options(build, opt.pack, quiet);

    std::string image_path;
    bool json = false;
    CLI::App *inspect = app.add_subcommand("inspect", "Report what a launcher image carries, and check it");
    inspect->add_option("IMAGE", image_path, "launcher image (.exe)")->required();
    inspect->add_flag("--json", json, "write the report as one JSON document");

    std::string extract_dir;
    CLI::App *extract = app.add_subcommand("extract", "Write the files a launcher image carries into a folder");
    extract->add_option("IMAGE", image_path, "launcher image (.exe)")->required();
    extract->add_option("-o,--output", extract_dir, "folder to create (or an empty one)")->required();
    extract->add_flag("--quiet", quiet, "print nothing on success");

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp &e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp &e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion &e) {
        return app.exit(e);
    } catch (const CLI::ParseError &e) {
        std::string what = unknown_word(app, argc, argv);
        if (what.empty()) what = e.what();
        if (what.empty()) what = "invalid command line";
        std::fprintf(stderr, "vornak: error: %s (see vornak --help)\n", what.c_str());
        return EXIT_USAGE;
    }

    // Only a person watching a terminal wants the progress line.
    opt.pack.progress = vornak::progress_wanted(quiet, STDERR_FILENO);
    try {
        if (pack->parsed()) {
            std::vector<std::string> warnings;
            vornak::PackResult r =
                vornak::pack_application(opt.app_dir, opt.dll, opt.allowed_dlls, opt.pack, opt.output, warnings);
            print_warnings(warnings);
            if (!quiet) warn_empty_folders(r.empty_folders);
            if (!quiet)
                std::printf("vornak: packed %llu files (%llu bytes decoded, window log %u) into %s (%llu bytes)\n",
                            static_cast<unsigned long long>(r.entries),
                            static_cast<unsigned long long>(r.stream_bytes), r.window_log,
                            opt.output.c_str(), static_cast<unsigned long long>(r.payload_bytes));
        } else if (build->parsed()) {
            vornak::check_brand_options(opt.brand, opt.output);
            vornak::BuildResult r = vornak::build_launcher(opt, vornak::own_directory());
            print_warnings(r.warnings);
            if (!quiet) warn_empty_folders(r.empty_folders);
            if (!quiet)
                std::printf("vornak: wrote %s (%llu bytes, payload %llu bytes)\n", opt.output.c_str(),
                            static_cast<unsigned long long>(r.image_bytes),
                            static_cast<unsigned long long>(r.payload_bytes));
        } else if (inspect->parsed()) {
            vornak::ImageFacts facts = vornak::gather_image_facts(image_path);
            if (json)
                vornak::write_json_report(facts, std::cout);
            else
                vornak::write_text_report(facts, std::cout);
            std::cout.flush();
            int failed = facts.failed_checks;
            if (failed) {
                std::fprintf(stderr, "vornak: inspect: %d check%s failed\n", failed, failed == 1 ? "" : "s");
                return EXIT_FAILED;
            }
        } else if (extract->parsed()) {
            vornak::ExtractResult r = vornak::extract_image(image_path, extract_dir);
            if (!quiet)
                std::printf("vornak: extracted %llu files (%llu bytes) into %s\n",
                            static_cast<unsigned long long>(r.entries), static_cast<unsigned long long>(r.bytes),
                            extract_dir.c_str());
        }
    } catch (const vornak::Error &e) {
        std::fprintf(stderr, "vornak: error: %s\n", e.what());
        return EXIT_FAILED;
    } catch (const std::exception &e) {
        std::fprintf(stderr, "vornak: error: %s\n", e.what());
        return EXIT_FAILED;
    }
    return 0;
}
