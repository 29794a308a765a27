#include "vocabulary/error_codes.h"

const char* ErrorMeaning(int code) {
    for (const ErrorCodeInfo& info : kErrorCodes) {
        if (info.code == code)
            return info.meaning;
    }
    return "unknown error";
}
