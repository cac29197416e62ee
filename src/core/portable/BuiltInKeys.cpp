#include "BuiltInKeys.h"
#include "BuiltInKeys.inc"

namespace kesi {
const unsigned char kLineCipherKey[32] = {KESI_LINE_CIPHER_KEY_BYTES};
const unsigned char kConfigMacKey[21] = {KESI_CONFIG_MAC_KEY_BYTES 0x00};
}
