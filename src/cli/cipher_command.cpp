#include "cli/cli.h"

#include "common/cipher.h"

namespace quorvane::cli
{

int runCipher(const Args& args, std::ostream& out, std::ostream& err)
{
    if (args.size() != 2 || (args[0] != "encrypt" && args[0] != "decrypt"))
        return usageError(err, "cipher takes \"encrypt TEXT\" or \"decrypt HEX\" (quote a TEXT with blanks)");
    if (args[0] == "encrypt") {
        out << encryptValue(args[1], kValueKey) << '\n';
        return kOk;
    }
    // decryptValue gives "" for malformed input as well as for the empty
    // value; here the user must learn which it was.
    if (!isWellFormedCipherText(args[1])) {
        err << "quorvane-cli: \"" << args[1] << "\" is not an enciphered value (a multiple of 16 hexadecimal digits)\n";
        return kFailed;
    }
    out << decryptValue(args[1], kValueKey) << '\n';
    return kOk;
}

} // namespace quorvane::cli
