# crypto: AES-128-CBC, sealed payloads, MD5 and RSA key generation beside
# OpenSSL (the reference, linked into the benchmark only).
find_package(OpenSSL REQUIRED COMPONENTS Crypto)
tw_add_bench(crypto_primitives_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/crypto_bench.cpp LIBS tw_crypto tw_transport OpenSSL::Crypto)
