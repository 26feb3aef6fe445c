// AES-128-CBC, MD5 and RSA key generation of the crypto library beside
// OpenSSL on the same machine in the same run. Run once as is (AES-NI) and
// once with OPENSSL_ia32cap="~0x200000200000000", which masks AES-NI for
// OpenSSL, to compare the portable engine with OpenSSL's own fallback.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <vector>

#include "crypto/mAES.h"
#include "crypto/mMD5.h"
#include "crypto/mRSA.h"
#include "platform/win32/messages.h"

namespace {

using tw::TAesPath;

const uint8_t kIv[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
const std::string kKeyText = "0123456789abcdef";  // a 16-byte session key

uint8_t* Buffer(size_t n) {
  static std::vector<uint8_t> buf;
  buf.assign(n, 0x5A);
  return buf.data();
}

// ---- AES-128-CBC ------------------------------------------------------------

// Our call takes the key text: MD5, key expansion and the blocks each time.
template <bool kEncrypt, TAesPath kPath>
void BM_TwAesKeyText(benchmark::State& state) {
  if (kPath == TAesPath::AesNi && !tw::AesNiAvailable()) return state.SkipWithError("no AES-NI");
  const auto n = static_cast<uint32_t>(state.range(0));
  uint8_t* buf = Buffer(n);
  for (auto _ : state) {
    if (kEncrypt)
      tw::AesEncryptCbc(buf, n, kKeyText, buf, kIv, kPath);
    else
      tw::AesDecryptCbc(buf, n, kKeyText, buf, kIv, kPath);
    benchmark::DoNotOptimize(buf[0]);
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * n);
}

// The raw-key core: key expansion and the blocks, as EVP with a fresh key.
template <bool kEncrypt, TAesPath kPath>
void BM_TwAesRawKey(benchmark::State& state) {
  if (kPath == TAesPath::AesNi && !tw::AesNiAvailable()) return state.SkipWithError("no AES-NI");
  const auto n = static_cast<uint32_t>(state.range(0));
  uint8_t* buf = Buffer(n);
  uint8_t key[16];
  tw::Md5OfBuffer(kKeyText.data(), kKeyText.size(), key);
  for (auto _ : state) {
    if (kEncrypt)
      tw::AesEncryptCbcRawKey(buf, n, key, buf, kIv, kPath);
    else
      tw::AesDecryptCbcRawKey(buf, n, key, buf, kIv, kPath);
    benchmark::DoNotOptimize(buf[0]);
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * n);
}

// OpenSSL EVP, key and IV set on every call (what our call does too).
template <bool kEncrypt>
void BM_OpenSslAes(benchmark::State& state) {
  const auto n = static_cast<int>(state.range(0));
  uint8_t* buf = Buffer(static_cast<size_t>(n));
  uint8_t key[16];
  tw::Md5OfBuffer(kKeyText.data(), kKeyText.size(), key);
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  const EVP_CIPHER* cipher = EVP_aes_128_cbc();
  for (auto _ : state) {
    int len = 0;
    EVP_CipherInit_ex(ctx, cipher, nullptr, key, kIv, kEncrypt ? 1 : 0);
    EVP_CIPHER_CTX_set_padding(ctx, 0);
    EVP_CipherUpdate(ctx, buf, &len, buf, n);
    benchmark::DoNotOptimize(buf[0]);
  }
  EVP_CIPHER_CTX_free(ctx);
  state.SetBytesProcessed(int64_t(state.iterations()) * n);
}

#define TW_AES_SIZES ->Arg(64)->Arg(65536)
BENCHMARK(BM_TwAesKeyText<true, TAesPath::AesNi>) TW_AES_SIZES;
BENCHMARK(BM_TwAesKeyText<false, TAesPath::AesNi>) TW_AES_SIZES;
BENCHMARK(BM_TwAesRawKey<true, TAesPath::AesNi>) TW_AES_SIZES;
BENCHMARK(BM_TwAesRawKey<false, TAesPath::AesNi>) TW_AES_SIZES;
BENCHMARK(BM_TwAesKeyText<true, TAesPath::Portable>) TW_AES_SIZES;
BENCHMARK(BM_TwAesKeyText<false, TAesPath::Portable>) TW_AES_SIZES;
BENCHMARK(BM_TwAesRawKey<true, TAesPath::Portable>) TW_AES_SIZES;
BENCHMARK(BM_TwAesRawKey<false, TAesPath::Portable>) TW_AES_SIZES;
BENCHMARK(BM_OpenSslAes<true>) TW_AES_SIZES;
BENCHMARK(BM_OpenSslAes<false>) TW_AES_SIZES;

// ---- MD5 --------------------------------------------------------------------

void BM_TwMd5(benchmark::State& state) {
  const auto n = static_cast<size_t>(state.range(0));
  uint8_t* buf = Buffer(n);
  uint8_t d[16];
  for (auto _ : state) {
    tw::Md5OfBuffer(buf, n, d);
    benchmark::DoNotOptimize(d[0]);
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(n));
}

void BM_OpenSslMd5(benchmark::State& state) {
  const auto n = static_cast<size_t>(state.range(0));
  uint8_t* buf = Buffer(n);
  uint8_t d[16];
  const EVP_MD* md5 = EVP_md5();
  for (auto _ : state) {
    unsigned len = 0;
    EVP_Digest(buf, n, d, &len, md5, nullptr);
    benchmark::DoNotOptimize(d[0]);
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(n));
}

BENCHMARK(BM_TwMd5)->Arg(8192);
BENCHMARK(BM_OpenSslMd5)->Arg(8192);

// ---- RSA key generation -------------------------------------------------------
// Each benchmark times `keys` generations one by one and reports the median
// and the 99th percentile in milliseconds.

template <typename Generate>
void TimeKeys(benchmark::State& state, Generate generate) {
  const auto keys = static_cast<size_t>(state.range(0));
  std::vector<double> ms;
  size_t pumps = 0;
  tw::win32::ScopedPumpObserver countPumps([&pumps] { ++pumps; });
  for (auto _ : state) {
    for (size_t i = 0; i < keys; ++i) {
      const auto t0 = std::chrono::steady_clock::now();
      if (!generate()) state.SkipWithError("key generation failed");
      ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
    }
  }
  std::sort(ms.begin(), ms.end());
  state.counters["median_ms"] = ms[ms.size() / 2];
  state.counters["p99_ms"] = ms[std::min(ms.size() - 1, ms.size() * 99 / 100)];
  state.counters["max_ms"] = ms.back();
  state.counters["keys"] = static_cast<double>(ms.size());
  state.counters["pumps_per_key"] = static_cast<double>(pumps) / static_cast<double>(ms.size());
}

void BM_TwRsaKeygen(benchmark::State& state) {
  TimeKeys(state, [] {
    std::string pub, priv;
    return tw::RsaGenerateKeypair(pub, priv);
  });
}

void BM_OpenSslRsaKeygen1024(benchmark::State& state) {
  TimeKeys(state, [] {
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_id(EVP_PKEY_RSA, nullptr);
    EVP_PKEY* key = nullptr;
    const bool ok = EVP_PKEY_keygen_init(ctx) > 0 && EVP_PKEY_CTX_set_rsa_keygen_bits(ctx, 1024) > 0 &&
                    EVP_PKEY_keygen(ctx, &key) > 0;
    EVP_PKEY_free(key);
    EVP_PKEY_CTX_free(ctx);
    return ok;
  });
}

// What one message pump costs on an idle queue: key generation pumps once
// per exponent bit and once per prime candidate.
void BM_ProcessMessagesIdle(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(tw::win32::ProcessMessages());
}
BENCHMARK(BM_ProcessMessagesIdle);

BENCHMARK(BM_TwRsaKeygen)->Arg(200)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OpenSslRsaKeygen1024)->Arg(200)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
