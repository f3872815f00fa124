#include "driver/faq.h"

const char* const faq_rows[] = {nullptr};
