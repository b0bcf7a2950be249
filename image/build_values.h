// SPDX-License-Identifier: MIT
// Values fixed when a launcher is linked. `vornak build` writes them into an
// object of their own, whose .rdata opens with the attached payload.
#pragma once

extern "C" {
extern const unsigned char vornak_attached_payload[];
extern const unsigned long long vornak_attached_payload_bytes;
extern const wchar_t vornak_product_name[];     // COMPANY, PRODUCT
extern const wchar_t vornak_product_version[];  // VERSION, FILE_VERSION, PRODUCT_VERSION
}
