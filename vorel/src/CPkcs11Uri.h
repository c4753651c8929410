// A PKCS#11 URI (RFC 7512) naming a key in a token, as pkgsign takes it:
//
//   pkcs11:token=release;object=signing-key?pin-source=file:/run/pin
//
// Path attributes select the token (token, manufacturer, model, serial) and
// the key (object, id, type); query attributes give where the PIN is read from
// (pin-source) and the module (module-path). A PIN written into the URI itself
// (pin-value) is refused: it would stand in the command line for every user
// of the machine to see.
#pragma once

#include <string>
#include <vector>

class CPkcs11Uri {
  public:
    static bool IsUri(const std::string& text) { return text.rfind("pkcs11:", 0) == 0; }

    // Reads the URI; false with `problem` set when it is not one this class
    // takes (an unknown or repeated attribute, a bad percent escape, a PIN).
    bool Parse(const std::string& text, std::string& problem);

    std::string token;         // the token's label
    std::string manufacturer;  // the token's manufacturer id
    std::string model;         // the token's model
    std::string serial;        // the token's serial number
    std::string object;        // the key's label (CKA_LABEL)
    std::string id;            // the key's CKA_ID, raw bytes
    bool hasId = false;
    std::string type;       // "private" or empty: the key signs, so it is private
    std::string pinSource;  // a file name (the "file:" of a file URI taken off)
    std::string modulePath;

  private:
    bool TakeAttribute(const std::string& attribute, std::vector<std::string>& seen,
                       std::string& problem);
};
