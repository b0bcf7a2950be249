// SPDX-License-Identifier: MIT
// Command line of the vornak tool. Every failure is one line on stderr,
// "vornak: error: ...", with exit code 2 for a bad command line and 1 for
// a refused or failed command; output files appear only on success. Options
// may stand before or after the positional arguments, and each option takes
// one value per use (--icon is given once per file).
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <string>

#include <CLI/CLI.hpp>

#include "tools/vornak/link/build.h"
#include "tools/vornak/base/error.h"
#include "tools/vornak/payload/extract.h"
#include "tools/vornak/base/files.h"
#include "tools/vornak/payload/payload_writer.h"
#include "tools/vornak/inspect/image_facts.h"
#include "tools/vornak/inspect/image_report.h"
#include "tools/vornak/base/progress.h"
#include "tools/vornak/cli/version.h"

namespace {

constexpr int EXIT_FAILED = 1;
constexpr int EXIT_USAGE = 2;

void add_pack_options(CLI::App *cmd, vornak::PackOptions &pack, bool &quiet) {
    cmd->add_option("--level", pack.level, "zstd compression level (1..22)")
        ->default_val(19)
        ->check(CLI::Range(1, 22));
    cmd->add_option("--threads", pack.threads, "zstd worker threads (0: compress on the main thread)")
        ->default_val(0)
        ->check(CLI::Range(0, 256));
    cmd->add_flag("--quiet", quiet, "print nothing on success, and no progress");
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
    build->add_option("-o,--output", opt.output, "launcher image to write (.exe)")->required();
    build->add_option("--name", opt.brand.name, "product name")->default_val(opt.brand.name);
    build->add_option("--version", opt.brand.version, "product version A.B.C.D")->default_val(opt.brand.version);
    build->add_option("--icon", opt.brand.icons, "a PNG image of the icon; once per image")
        ->allow_extra_args(false);
    CLI::Option *sign_opt = build->add_option("--sign", opt.brand.sign_certificate, "certificate (.pfx) to sign with");
    CLI::Option *password_opt =
        build->add_option("--password-file", opt.brand.password_file, "file holding the certificate's password");
    sign_opt->needs(password_opt);
    password_opt->needs(sign_opt);
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
        std::string what = e.what();
        if (what.empty()) what = "invalid command line";
        std::fprintf(stderr, "vornak: error: %s (see vornak --help)\n", what.c_str());
        return EXIT_USAGE;
    }

    // Only a person watching a terminal wants the progress line.
    opt.pack.progress = vornak::progress_wanted(quiet, STDERR_FILENO);
    try {
        if (pack->parsed()) {
            vornak::PackResult r = vornak::pack_folder(opt.app_dir, opt.dll, opt.pack, opt.output);
            if (!quiet)
                std::printf("vornak: packed %llu files (%llu bytes decoded, window log %u) into %s (%llu bytes)\n",
                            static_cast<unsigned long long>(r.entries),
                            static_cast<unsigned long long>(r.stream_bytes), r.window_log,
                            opt.output.c_str(), static_cast<unsigned long long>(r.payload_bytes));
        } else if (build->parsed()) {
            vornak::check_brand_options(opt.brand);
            vornak::BuildResult r = vornak::build_launcher(opt, vornak::own_directory());
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
