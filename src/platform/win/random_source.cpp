// Random bytes from the Windows base cryptographic provider.
#include "platform/random_source.h"

#include <windows.h>
#include <wincrypt.h>

namespace platform {

bool FillRandomBytes(std::uint8_t* buffer, std::size_t size) {
  HCRYPTPROV provider = 0;
  if (!CryptAcquireContextW(&provider, nullptr, L"Microsoft Base Cryptographic Provider v1.0",
                            PROV_RSA_FULL, CRYPT_VERIFYCONTEXT)) {
    return false;
  }
  BOOL filled = CryptGenRandom(provider, static_cast<DWORD>(size), buffer);
  CryptReleaseContext(provider, 0);
  return filled != FALSE;
}

}  // namespace platform
