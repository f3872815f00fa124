#pragma once
// Addresses that name the product: set at build time (CMake cache variables
// QUILLON_HOME_URL, QUILLON_EXAMPLE_EMAIL, QUILLON_CREDIT_TEXT).

#ifndef QUILLON_HOME_URL
#define QUILLON_HOME_URL "https://quillon.example.org/"
#endif
#ifndef QUILLON_EXAMPLE_EMAIL
#define QUILLON_EXAMPLE_EMAIL "webmaster@example.com"
#endif
#ifndef QUILLON_CREDIT_TEXT
#define QUILLON_CREDIT_TEXT "form to e-mail by QUILLON"
#endif

constexpr char kHomePageUrl[] = QUILLON_HOME_URL;
constexpr char kExampleEmail[] = QUILLON_EXAMPLE_EMAIL;
constexpr char kCreditText[] = QUILLON_CREDIT_TEXT;
