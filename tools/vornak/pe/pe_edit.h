// SPDX-License-Identifier: MIT
// The steps on a linked launcher image before it takes its final name:
// moving the payload's section to a page boundary in the file, checking that
// the payload opens it, signing, and the header checksum. All of them read
// the image through the PE reader.
#pragma once

#include <string>

#include "tools/vornak/brand/brand.h"

namespace vornak {

// Moves the file data of .rdata, and of every section behind it, to the next
// multiple of 4096 in the file, leaving zero bytes before it; FileAlignment
// stays 512 and nothing in memory changes. Wine maps a section from the file
// only when its file offset is page-aligned, and otherwise reads it whole into
// private memory at process start: for the attached payload that is every
// byte of it, in the parent and again in the child. Runs on the linked image
// before signing (a signature would record file offsets). Throws Error when
// the file is not a PE32+ image with .rdata or cannot be rewritten.
void align_payload_section(const std::string &path);

// Checks that the section .rdata of the image at exe_path opens with the
// first bytes of the payload file and holds the payload's length at the next
// multiple of 8 behind it. Throws Error otherwise.
void verify_payload_placement(const std::string &exe_path, const std::string &payload_path);

// Recomputes the checksum of the PE file at path and writes it into the
// header. Throws Error when the file cannot be read or written.
void write_pe_checksum(const std::string &path);

// Signs the image at path in place with osslsigncode: the PKCS #12
// certificate brand.sign_certificate, its password from brand.password_file,
// from the variable brand.password_env or empty, SHA-256, the description
// brand.name, and a countersignature from the RFC 3161 authority at
// brand.timestamp_url when given. Throws Error with osslsigncode's first
// error line when it fails.
void sign_image(const std::string &path, const BrandOptions &brand);

// Finishes the linked image at path in place: signs it when brand names a
// certificate, then sets the checksum (a signature changes the file, and the
// checksum field lies outside what the signature hashes). Throws Error on
// failure; the caller then discards the image.
void finish_image(const BrandOptions &brand, const std::string &path);

}  // namespace vornak
