#include "core/NumberError.h"

NumberError::NumberError(int code) : code_(code), message_("Error Code: " + std::to_string(code)) {}
