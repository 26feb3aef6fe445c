// AES-128-CBC, MD5 and RSA key generation of the crypto library beside
// OpenSSL on the same machine in the same run, each pair doing equal work:
//   - AES: OpenSSL's cipher is fetched once and its context set up once; each
//     call resets only the key and IV, as our raw-key call expands its key.
//   - AES with a kept key (what a pipe does since it keeps its session key
//     expanded): our TAesKey beside an OpenSSL context keyed once, each call
//     resetting only the IV. Sealing and opening a 64-byte body: our
//     SealPayload / OpenPayload with a TAesKey beside the same steps written
//     on such an OpenSSL context (the same buffers, copies and checks).
//   - MD5: one reused OpenSSL digest context, re-initialised per digest.
//   - RSA key pair: OpenSSL runs our recipe (two 512-bit primes from 64-byte
//     seeds, a small-prime sieve, 4 Rabin-Miller rounds, e = 65537, one
//     self-test) beside its own RSA-1024 generator, which does more work.
// Run once as is (AES-NI) and once with OPENSSL_ia32cap="~0x200000200000000",
// which masks AES-NI for OpenSSL, to compare the portable engine with
// OpenSSL's own fallback. Compare ratios within one run: the machine is
// shared.
#include <benchmark/benchmark.h>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <vector>

#include "crypto/mAES.h"
#include "crypto/mBigInt.h"
#include "crypto/mMD5.h"
#include "crypto/mRSA.h"
#include "platform/win32/messages.h"
#include "transport/mSeal.h"

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

// OpenSSL EVP: the cipher fetched and the context set up once; every call
// sets the key and IV again (OpenSSL expands the key there), as our raw-key
// call does.
template <bool kEncrypt>
void BM_OpenSslAes(benchmark::State& state) {
  const auto n = static_cast<int>(state.range(0));
  uint8_t* buf = Buffer(static_cast<size_t>(n));
  uint8_t key[16];
  tw::Md5OfBuffer(kKeyText.data(), kKeyText.size(), key);
  EVP_CIPHER* cipher = EVP_CIPHER_fetch(nullptr, "AES-128-CBC", nullptr);
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  EVP_CipherInit_ex(ctx, cipher, nullptr, key, kIv, kEncrypt ? 1 : 0);
  EVP_CIPHER_CTX_set_padding(ctx, 0);
  for (auto _ : state) {
    int len = 0;
    EVP_CipherInit_ex(ctx, nullptr, nullptr, key, kIv, -1);
    EVP_CipherUpdate(ctx, buf, &len, buf, n);
    benchmark::DoNotOptimize(buf[0]);
  }
  EVP_CIPHER_CTX_free(ctx);
  EVP_CIPHER_free(cipher);
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

// ---- AES with a kept key, and sealing ---------------------------------------

template <bool kEncrypt>
void BM_TwAesKeptKey(benchmark::State& state) {
  const auto n = static_cast<uint32_t>(state.range(0));
  uint8_t* buf = Buffer(n);
  const tw::TAesKey key(kKeyText);
  for (auto _ : state) {
    if (kEncrypt)
      key.EncryptCbc(buf, n, buf, kIv);
    else
      key.DecryptCbc(buf, n, buf, kIv);
    benchmark::DoNotOptimize(buf[0]);
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * n);
}

// An OpenSSL context keyed once; each call resets the IV only.
class OpenSslKeptKey {
 public:
  explicit OpenSslKeptKey(bool encrypt) : cipher_(EVP_CIPHER_fetch(nullptr, "AES-128-CBC", nullptr)) {
    uint8_t key[16];
    tw::Md5OfBuffer(kKeyText.data(), kKeyText.size(), key);
    EVP_CipherInit_ex(ctx_, cipher_, nullptr, key, kIv, encrypt ? 1 : 0);
    EVP_CIPHER_CTX_set_padding(ctx_, 0);
  }
  ~OpenSslKeptKey() {
    EVP_CIPHER_CTX_free(ctx_);
    EVP_CIPHER_free(cipher_);
  }
  OpenSslKeptKey(const OpenSslKeptKey&) = delete;
  OpenSslKeptKey& operator=(const OpenSslKeptKey&) = delete;
  void Run(const void* in, size_t n, void* out, const void* iv) {
    int len = 0;
    EVP_CipherInit_ex(ctx_, nullptr, nullptr, nullptr, static_cast<const uint8_t*>(iv), -1);
    EVP_CipherUpdate(ctx_, static_cast<uint8_t*>(out), &len, static_cast<const uint8_t*>(in), static_cast<int>(n));
  }

 private:
  EVP_CIPHER* cipher_;
  EVP_CIPHER_CTX* ctx_ = EVP_CIPHER_CTX_new();
};

template <bool kEncrypt>
void BM_OpenSslAesKeptKey(benchmark::State& state) {
  const auto n = static_cast<size_t>(state.range(0));
  uint8_t* buf = Buffer(n);
  OpenSslKeptKey key(kEncrypt);
  for (auto _ : state) {
    key.Run(buf, n, buf, kIv);
    benchmark::DoNotOptimize(buf[0]);
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(n));
}

BENCHMARK(BM_TwAesKeptKey<true>)->Arg(64)->Arg(65536);
BENCHMARK(BM_TwAesKeptKey<false>)->Arg(64)->Arg(65536);
BENCHMARK(BM_OpenSslAesKeptKey<true>)->Arg(64)->Arg(65536);
BENCHMARK(BM_OpenSslAesKeptKey<false>)->Arg(64)->Arg(65536);

const std::string kSealIv = tw::SealIvForTick(123456);

void BM_TwSeal(benchmark::State& state) {
  const std::string body(static_cast<size_t>(state.range(0)), 'b');
  const tw::TAesKey key(kKeyText);
  for (auto _ : state) benchmark::DoNotOptimize(tw::SealPayload(body, key, kSealIv));
}

void BM_TwOpen(benchmark::State& state) {
  const tw::TAesKey key(kKeyText);
  const std::string sealed = tw::SealPayload(std::string(static_cast<size_t>(state.range(0)), 'b'), key, kSealIv);
  for (auto _ : state) {
    std::string payload = sealed;
    if (!tw::OpenPayload(payload, key)) state.SkipWithError("does not open");
    benchmark::DoNotOptimize(payload);
  }
}

// SealPayload's steps on OpenSSL: one output buffer, body, check word and pad
// copied in, encrypted in place.
void BM_OpenSslSeal(benchmark::State& state) {
  const std::string body(static_cast<size_t>(state.range(0)), 'b');
  OpenSslKeptKey key(true);
  for (auto _ : state) {
    const size_t plain = body.size() + tw::kSealCheckWord.size();
    const size_t pad = plain % 16 == 0 ? 0 : 16 - plain % 16;
    std::string out(tw::kSealHeaderSize + plain + pad, '\0');
    out[0] = static_cast<char>(pad);
    std::memcpy(out.data() + 1, kSealIv.data(), 16);
    char* p = out.data() + tw::kSealHeaderSize;
    std::memcpy(p, body.data(), body.size());
    std::memcpy(p + body.size(), tw::kSealCheckWord.data(), tw::kSealCheckWord.size());
    std::memcpy(p + plain, kSealIv.data(), pad);
    key.Run(p, plain + pad, p, kSealIv.data());
    benchmark::DoNotOptimize(out);
  }
}

// OpenPayload's steps on OpenSSL: the payload copied, decrypted into a new
// buffer, pad and check word checked and cut, the body moved back.
void BM_OpenSslOpen(benchmark::State& state) {
  const tw::TAesKey ours(kKeyText);
  const std::string sealed = tw::SealPayload(std::string(static_cast<size_t>(state.range(0)), 'b'), ours, kSealIv);
  OpenSslKeptKey key(false);
  for (auto _ : state) {
    std::string payload = sealed;
    const size_t cipherLength = payload.size() - tw::kSealHeaderSize;
    const size_t pad = static_cast<unsigned char>(payload[0]);
    std::string plain(cipherLength, '\0');
    key.Run(payload.data() + tw::kSealHeaderSize, cipherLength, plain.data(), payload.data() + 1);
    plain.resize(plain.size() - pad);
    if (plain.compare(plain.size() - 4, 4, tw::kSealCheckWord) != 0) state.SkipWithError("does not open");
    plain.resize(plain.size() - 4);
    payload = std::move(plain);
    benchmark::DoNotOptimize(payload);
  }
}

BENCHMARK(BM_TwSeal)->Arg(64);
BENCHMARK(BM_OpenSslSeal)->Arg(64);
BENCHMARK(BM_TwOpen)->Arg(64);
BENCHMARK(BM_OpenSslOpen)->Arg(64);

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

// One digest context reused, re-initialised for every digest.
void BM_OpenSslMd5(benchmark::State& state) {
  const auto n = static_cast<size_t>(state.range(0));
  uint8_t* buf = Buffer(n);
  uint8_t d[16];
  EVP_MD* md5 = EVP_MD_fetch(nullptr, "MD5", nullptr);
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  for (auto _ : state) {
    unsigned len = 0;
    EVP_DigestInit_ex(ctx, md5, nullptr);
    EVP_DigestUpdate(ctx, buf, n);
    EVP_DigestFinal_ex(ctx, d, &len);
    benchmark::DoNotOptimize(d[0]);
  }
  EVP_MD_CTX_free(ctx);
  EVP_MD_free(md5);
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(n));
}

BENCHMARK(BM_TwMd5)->Arg(16)->Arg(8192);
BENCHMARK(BM_OpenSslMd5)->Arg(16)->Arg(8192);

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

// Our recipe on OpenSSL's big numbers: equal work to BM_TwRsaKeygen. The
// Rabin-Miller test is written out here because OpenSSL 3's own primality
// calls raise the round count to at least 64.
bool OpenSslMillerRabin(const BIGNUM* n, int rounds, BN_CTX* ctx) {
  BN_CTX_start(ctx);
  BIGNUM* nm1 = BN_CTX_get(ctx);
  BIGNUM* d = BN_CTX_get(ctx);
  BIGNUM* a = BN_CTX_get(ctx);
  BIGNUM* y = BN_CTX_get(ctx);
  BN_MONT_CTX* mont = BN_MONT_CTX_new();
  BN_MONT_CTX_set(mont, n, ctx);
  BN_sub(nm1, n, BN_value_one());
  int s = 0;
  while (!BN_is_bit_set(nm1, s)) ++s;
  BN_rshift(d, nm1, s);
  bool prime = true;
  for (int r = 0; r < rounds && prime; ++r) {
    uint32_t pick = 0;
    RAND_bytes(reinterpret_cast<uint8_t*>(&pick), sizeof pick);
    BN_set_word(a, tw::SmallPrimes[pick % (tw::SmallPrimes.size() - 1)]);
    BN_mod_exp_mont(y, a, d, n, ctx, mont);
    if (BN_is_one(y) || BN_cmp(y, nm1) == 0) continue;
    bool witness = true;
    for (int i = 1; i < s && witness; ++i) {
      BN_mod_sqr(y, y, n, ctx);
      if (BN_cmp(y, nm1) == 0) witness = false;
    }
    prime = !witness;
  }
  BN_MONT_CTX_free(mont);
  BN_CTX_end(ctx);
  return prime;
}

bool OpenSslNextPrime(BIGNUM* x, BN_CTX* ctx) {
  if (!BN_is_odd(x)) BN_add_word(x, 1);
  std::vector<uint32_t> residues(tw::SmallPrimes.size());
  for (size_t i = 0; i < residues.size(); ++i) residues[i] = static_cast<uint32_t>(BN_mod_word(x, tw::SmallPrimes[i]));
  for (;;) {
    BN_add_word(x, 2);
    bool survives = true;
    for (size_t i = 0; i < residues.size(); ++i) {
      uint32_t r = residues[i] + 2;
      if (r >= tw::SmallPrimes[i]) r -= tw::SmallPrimes[i];
      residues[i] = r;
      survives = survives && r != 0;
    }
    if (survives && OpenSslMillerRabin(x, 4, ctx)) return true;
  }
}

bool OpenSslRecipeKeygen() {
  BN_CTX* ctx = BN_CTX_new();
  BIGNUM *p = BN_new(), *q = BN_new(), *n = BN_new(), *phi = BN_new(), *pm = BN_new(), *qm = BN_new();
  BIGNUM *e = BN_new(), *d = BN_new(), *m = BN_new(), *c = BN_new(), *back = BN_new();
  uint8_t seed[64];
  bool ok = RAND_bytes(seed, 64) == 1 && BN_bin2bn(seed, 64, p) && OpenSslNextPrime(p, ctx) &&
            RAND_bytes(seed, 64) == 1 && BN_bin2bn(seed, 64, q) && OpenSslNextPrime(q, ctx) && BN_mul(n, p, q, ctx) &&
            BN_sub(pm, p, BN_value_one()) && BN_sub(qm, q, BN_value_one()) && BN_mul(phi, pm, qm, ctx) &&
            BN_set_word(e, 65537) && BN_mod_inverse(d, e, phi, ctx) != nullptr;
  // The self-test: one block through the public and the private exponent.
  ok = ok && BN_set_word(m, 0x12345678) && BN_mod_exp(c, m, e, n, ctx) && BN_mod_exp(back, c, d, n, ctx) &&
       BN_cmp(back, m) == 0;
  for (BIGNUM* b : {p, q, n, phi, pm, qm, e, d, m, c, back}) BN_free(b);
  BN_CTX_free(ctx);
  return ok;
}

void BM_OpenSslRecipeKeygen(benchmark::State& state) { TimeKeys(state, OpenSslRecipeKeygen); }

// What one message pump costs on an idle queue: key generation pumps once
// per exponent bit and once per prime candidate.
void BM_ProcessMessagesIdle(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(tw::win32::ProcessMessages());
}
BENCHMARK(BM_ProcessMessagesIdle);

BENCHMARK(BM_TwRsaKeygen)->Arg(200)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OpenSslRecipeKeygen)->Arg(200)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OpenSslRsaKeygen1024)->Arg(200)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
