#pragma once

#include <string>

namespace corvane {

// Why a Wi-Fi record could not be decoded; the key is the coding key's text.
struct WifiCodingError {
    enum class Kind {
        notAnObject,   // the container could not be opened
        keyNotFound,   // a required key is missing
        valueNotFound, // the key holds null
        typeMismatch,  // the key holds a value of another type
    };

    Kind kind = Kind::notAnObject;
    std::string key;
    std::string description;
};

} // namespace corvane
