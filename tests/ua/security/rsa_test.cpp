// SPDX-License-Identifier: MPL-2.0
#include "ua/security/rsa.h"

#include <gtest/gtest.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <map>
#include <memory>
#include <thread>
#include <vector>

#include "platform/random.h"
#include "support/openssl_peer.h"
#include "support/test_support.h"

namespace varo::ua {
namespace {

using test::Hex;
using test::ToHex;

// ---- known-answer vectors of the PKCS#1 v2.1 test set (SHA-1, MGF1-SHA-1) ----

struct VectorKey {
  const char *n, *e, *d, *p, *q, *dp, *dq, *qinv;
};

TRsaPrivateKey LoadKey(const VectorKey& k) {
  return TRsaPrivateKey::FromCrt(Hex(k.n), Hex(k.e), Hex(k.d), Hex(k.p), Hex(k.q), Hex(k.dp), Hex(k.dq),
                                 Hex(k.qinv));
}

// 1024-bit key of the OAEP examples 1.x.
const VectorKey kOaepKey1 = {
    "a8 b3 b2 84 af 8e b5 0b 38 70 34 a8 60 f1 46 c4 91 9f 31 87 63 cd 6c 55 98 c8 ae 48 11 a1 e0 ab"
    "c4 c7 e0 b0 82 d6 93 a5 e7 fc ed 67 5c f4 66 85 12 77 2c 0c bc 64 a7 42 c6 c6 30 f5 33 c8 cc 72"
    "f6 2a e8 33 c4 0b f2 58 42 e9 84 bb 78 bd bf 97 c0 10 7d 55 bd b6 62 f5 c4 e0 fa b9 84 5c b5 14"
    "8e f7 39 2d d3 aa ff 93 ae 1e 6b 66 7b b3 d4 24 76 16 d4 f5 ba 10 d4 cf d2 26 de 88 d3 9f 16 fb",
    "01 00 01",
    "53 33 9c fd b7 9f c8 46 6a 65 5c 73 16 ac a8 5c 55 fd 8f 6d d8 98 fd af 11 95 17 ef 4f 52 e8 fd"
    "8e 25 8d f9 3f ee 18 0f a0 e4 ab 29 69 3c d8 3b 15 2a 55 3d 4a c4 d1 81 2b 8b 9f a5 af 0e 7f 55"
    "fe 73 04 df 41 57 09 26 f3 31 1f 15 c4 d6 5a 73 2c 48 31 16 ee 3d 3d 2d 0a f3 54 9a d9 bf 7c bf"
    "b7 8a d8 84 f8 4d 5b eb 04 72 4d c7 36 9b 31 de f3 7d 0c f5 39 e9 cf cd d3 de 65 37 29 ea d5 d1",
    "d3 27 37 e7 26 7f fe 13 41 b2 d5 c0 d1 50 a8 1b 58 6f b3 13 2b ed 2f 8d 52 62 86 4a 9c b9 f3 0a"
    "f3 8b e4 48 59 8d 41 3a 17 2e fb 80 2c 21 ac f1 c1 1c 52 0c 2f 26 a4 71 dc ad 21 2e ac 7c a3 9d",
    "cc 88 53 d1 d5 4d a6 30 fa c0 04 f4 71 f2 81 c7 b8 98 2d 82 24 a4 90 ed be b3 3d 3e 3d 5c c9 3c"
    "47 65 70 3d 1d d7 91 64 2f 1f 11 6a 0d d8 52 be 24 19 b2 af 72 bf e9 a0 30 e8 60 b0 28 8b 5d 77",
    "0e 12 bf 17 18 e9 ce f5 59 9b a1 c3 88 2f e8 04 6a 90 87 4e ef ce 8f 2c cc 20 e4 f2 74 1f b0 a3"
    "3a 38 48 ae c9 c9 30 5f be cb d2 d7 68 19 96 7d 46 71 ac c6 43 1e 40 37 96 8d b3 78 78 e6 95 c1",
    "95 29 7b 0f 95 a2 fa 67 d0 07 07 d6 09 df d4 fc 05 c8 9d af c2 ef 6d 6e a5 5b ec 77 1e a3 33 73"
    "4d 92 51 e7 90 82 ec da 86 6e fe f1 3c 45 9e 1a 63 13 86 b7 e3 54 c8 99 f5 f1 12 ca 85 d7 15 83",
    "4f 45 6c 50 24 93 bd c0 ed 2a b7 56 a3 a6 ed 4d 67 35 2a 69 7d 42 16 e9 32 12 b1 27 a6 3d 54 11"
    "ce 6f a9 8d 5d be fd 73 26 3e 37 28 14 27 43 81 81 66 ed 7d d6 36 87 dd 2a 8c a1 d2 f4 fb d8 e1",
};

// 1025-bit key of the OAEP examples 2.x (primes of 513 bits, an uneven limb split).
const VectorKey kOaepKey2 = {
    "01 94 7c 7f ce 90 42 5f 47 27 9e 70 85 1f 25 d5 e6 23 16 fe 8a 1d f1 93 71 e3 e6 28 e2 60 54 3e"
    "49 01 ef 60 81 f6 8c 0b 81 41 19 0d 2a e8 da ba 7d 12 50 ec 6d b6 36 e9 44 ec 37 22 87 7c 7c 1d"
    "0a 67 f1 4b 16 94 c5 f0 37 94 51 a4 3e 49 a3 2d de 83 67 0b 73 da 91 a1 c9 9b c2 3b 43 6a 60 05"
    "5c 61 0f 0b af 99 c1 a0 79 56 5b 95 a3 f1 52 66 32 d1 d4 da 60 f2 0e da 25 e6 53 c4 f0 02 76 6f"
    "45",
    "01 00 01",
    "08 23 f2 0f ad b5 da 89 08 8a 9d 00 89 3e 21 fa 4a 1b 11 fb c9 3c 64 a3 be 0b aa ea 97 fb 3b 93"
    "c3 ff 71 37 04 c1 9c 96 3c 1d 10 7a ae 99 05 47 39 f7 9e 02 e1 86 de 86 f8 7a 6d de fe a6 d8 cc"
    "d1 d3 c8 1a 47 bf a7 25 5b e2 06 01 a4 a4 b2 f0 8a 16 7b 5e 27 9d 71 5b 1b 45 5b dd 7e ab 24 59"
    "41 d9 76 8b 9a ce fb 3c cd a5 95 2d a3 ce e7 25 25 b4 50 16 63 a8 ee 15 c9 e9 92 d9 24 62 fe 39",
    "01 59 db de 04 a3 3e f0 6f b6 08 b8 0b 19 0f 4d 3e 22 bc c1 3a c8 e4 a0 81 03 3a bf a4 16 ed b0"
    "b3 38 aa 08 b5 73 09 ea 5a 52 40 e7 dc 6e 54 37 8c 69 41 4c 31 d9 7d db 1f 40 6d b3 76 9c c4 1a"
    "43",
    "01 2b 65 2f 30 40 3b 38 b4 09 95 fd 6f f4 1a 1a cc 8a da 70 37 32 36 b7 20 2d 39 b2 ee 30 cf b4"
    "6d b0 95 11 f6 f3 07 cc 61 cc 21 60 6c 18 a7 5b 8a 62 f8 22 df 03 1b a0 df 0d af d5 50 6f 56 8b"
    "d7",
    "43 6e f5 08 de 73 65 19 c2 da 4c 58 0d 98 c8 2c b7 45 2a 3f b5 ef ad c3 b9 c7 78 9a 1b c6 58 4f"
    "79 5a dd bb d3 24 39 c7 46 86 55 2e cb 6c 2c 30 7a 4d 3a f7 f5 39 ee c1 57 24 8c 7b 31 f1 a2 55",
    "01 2b 15 a8 9f 3d fb 2b 39 07 3e 73 f0 2b dd 0c 1a 7b 37 9d d4 35 f0 5c dd e2 ef f9 e4 62 94 8b"
    "7c ec 62 ee 90 50 d5 e0 81 6e 07 85 a8 56 b4 91 08 dc b7 5f 36 83 87 4d 1c a6 32 9a 19 01 30 66"
    "ff",
    "02 70 db 17 d5 91 4b 01 8d 76 11 8b 24 38 9a 73 50 ec 83 6b 00 63 a2 17 21 23 6f d8 ed b6 d8 9b"
    "51 e7 ee b8 7b 61 1b 71 32 cb 7e a7 35 6c 23 15 1c 1e 77 51 50 7c 78 6d 9e e1 79 41 70 a8 c8 e8",
};

// 1024-bit key of the PSS examples 1.x.
const VectorKey kPssKey1 = {
    "a5 6e 4a 0e 70 10 17 58 9a 51 87 dc 7e a8 41 d1 56 f2 ec 0e 36 ad 52 a4 4d fe b1 e6 1f 7a d9 91"
    "d8 c5 10 56 ff ed b1 62 b4 c0 f2 83 a1 2a 88 a3 94 df f5 26 ab 72 91 cb b3 07 ce ab fc e0 b1 df"
    "d5 cd 95 08 09 6d 5b 2b 8b 6d f5 d6 71 ef 63 77 c0 92 1c b2 3c 27 0a 70 e2 59 8e 6f f8 9d 19 f1"
    "05 ac c2 d3 f0 cb 35 f2 92 80 e1 38 6b 6f 64 c4 ef 22 e1 e1 f2 0d 0c e8 cf fb 22 49 bd 9a 21 37",
    "01 00 01",
    "33 a5 04 2a 90 b2 7d 4f 54 51 ca 9b bb d0 b4 47 71 a1 01 af 88 43 40 ae f9 88 5f 2a 4b be 92 e8"
    "94 a7 24 ac 3c 56 8c 8f 97 85 3a d0 7c 02 66 c8 c6 a3 ca 09 29 f1 e8 f1 12 31 88 44 29 fc 4d 9a"
    "e5 5f ee 89 6a 10 ce 70 7c 3e d7 e7 34 e4 47 27 a3 95 74 50 1a 53 26 83 10 9c 2a ba ca ba 28 3c"
    "31 b4 bd 2f 53 c3 ee 37 e3 52 ce e3 4f 9e 50 3b d8 0c 06 22 ad 79 c6 dc ee 88 35 47 c6 a3 b3 25",
    "e7 e8 94 27 20 a8 77 51 72 73 a3 56 05 3e a2 a1 bc 0c 94 aa 72 d5 5c 6e 86 29 6b 2d fc 96 79 48"
    "c0 a7 2c bc cc a7 ea cb 35 70 6e 09 a1 df 55 a1 53 5b d9 b3 cc 34 16 0b 3b 6d cd 3e da 8e 64 43",
    "b6 9d ca 1c f7 d4 d7 ec 81 e7 5b 90 fc ca 87 4a bc de 12 3f d2 70 01 80 aa 90 47 9b 6e 48 de 8d"
    "67 ed 24 f9 f1 9d 85 ba 27 58 74 f5 42 cd 20 dc 72 3e 69 63 36 4a 1f 94 25 45 2b 26 9a 67 99 fd",
    "28 fa 13 93 86 55 be 1f 8a 15 9c ba ca 5a 72 ea 19 0c 30 08 9e 19 cd 27 4a 55 6f 36 c4 f6 e1 9f"
    "55 4b 34 c0 77 79 04 27 bb dd 8d d3 ed e2 44 83 28 f3 85 d8 1b 30 e8 e4 3b 2f ff a0 27 86 19 79",
    "1a 8b 38 f3 98 fa 71 20 49 89 8d 7f b7 9e e0 a7 76 68 79 12 99 cd fa 09 ef c0 e5 07 ac b2 1e d7"
    "43 01 ef 5b fd 48 be 45 5e ae b6 e1 67 82 55 82 75 80 a8 e4 e8 e1 41 51 d1 51 0a 82 a3 f2 e7 29",
    "27 15 6a ba 41 26 d2 4a 81 f3 a5 28 cb fb 27 f5 68 86 f8 40 a9 f6 e8 6e 17 a4 4b 94 fe 93 19 58"
    "4b 8e 22 fd de 1e 5a 2e 3b d8 aa 5b a8 d8 58 41 94 eb 21 90 ac f8 32 b8 47 f1 3a 3d 24 a7 9f 4d",
};

// 1025-bit key of the PSS examples 2.x (emLen is one byte shorter than k).
const VectorKey kPssKey2 = {
    "01 d4 0c 1b cf 97 a6 8a e7 cd bd 8a 7b f3 e3 4f a1 9d cc a4 ef 75 a4 74 54 37 5f 94 51 4d 88 fe"
    "d0 06 fb 82 9f 84 19 ff 87 d6 31 5d a6 8a 1f f3 a0 93 8e 9a bb 34 64 01 1c 30 3a d9 91 99 cf 0c"
    "7c 7a 8b 47 7d ce 82 9e 88 44 f6 25 b1 15 e5 e9 c4 a5 9c f8 f8 11 3b 68 34 33 6a 2f d2 68 9b 47"
    "2c bb 5e 5c ab e6 74 35 0c 59 b6 c1 7e 17 68 74 fb 42 f8 fc 3d 17 6a 01 7e dc 61 fd 32 6c 4b 33"
    "c9",
    "01 00 01",
    "02 7d 14 7e 46 73 05 73 77 fd 1e a2 01 56 57 72 17 6a 7d c3 83 58 d3 76 04 56 85 a2 e7 87 c2 3c"
    "15 57 6b c1 6b 9f 44 44 02 d6 bf c5 d9 8a 3e 88 ea 13 ef 67 c3 53 ec a0 c0 dd ba 92 55 bd 7b 8b"
    "b5 0a 64 4a fd fd 1d d5 16 95 b2 52 d2 2e 73 18 d1 b6 68 7a 1c 10 ff 75 54 5f 3d b0 fe 60 2d 5f"
    "2b 7f 29 4e 36 01 ea b7 b9 d1 ce cd 76 7f 64 69 2e 3e 53 6c a2 84 6c b0 c2 dd 48 6a 39 fa 75 b1",
    "01 66 01 e9 26 a0 f8 c9 e2 6e ca b7 69 ea 65 a5 e7 c5 2c c9 e0 80 ef 51 94 57 c6 44 da 68 91 c5"
    "a1 04 d3 ea 79 55 92 9a 22 e7 c6 8a 7a f9 fc ad 77 7c 3c cc 2b 9e 3d 36 50 bc e4 04 39 9b 7e 59"
    "d1",
    "01 4e af a1 d4 d0 18 4d a7 e3 1f 87 7d 12 81 dd da 62 56 64 86 9e 83 79 e6 7a d3 b7 5e ae 74 a5"
    "80 e9 82 7a bd 6e b7 a0 02 cb 54 11 f5 26 67 97 76 8f b8 e9 5a e4 0e 3e 8a 01 f3 5f f8 9e 56 c0"
    "79",
    "e2 47 cc e5 04 93 9b 8f 0a 36 09 0d e2 00 93 87 55 e2 44 4b 29 53 9a 7d a7 a9 02 f6 05 68 35 c0"
    "db 7b 52 55 94 97 cf e2 c6 1a 80 86 d0 21 3c 47 2c 78 85 18 00 b1 71 f6 40 1d e2 e9 c2 75 6f 31",
    "b1 2f ba 75 78 55 e5 86 e4 6f 64 c3 8a 70 c6 8b 3f 54 8d 93 d7 87 b3 99 99 9d 4c 8f 0b bd 25 81"
    "c2 1e 19 ed 00 18 a6 d5 d3 df 86 42 4b 3a bc ad 40 19 9d 31 49 5b 61 30 9f 27 c1 bf 55 d4 87 c1",
    "56 4b 1e 1f a0 03 bd a9 1e 89 09 04 25 aa c0 5b 91 da 9e e2 50 61 e7 62 8d 5f 51 30 4a 84 99 2f"
    "dc 33 76 2b d3 78 a5 9f 03 0a 33 4d 53 2b d0 da e8 f2 98 ea 9e d8 44 63 6a d5 fb 8c bd c0 3c ad",
};

struct OaepVector {
  const char* name;
  const VectorKey* key;
  const char* message;
  const char* seed;
  const char* cipher;
};

const OaepVector kOaepVectors[] = {
    {"1.1", &kOaepKey1, "66 28 19 4e 12 07 3d b0 3b a9 4c da 9e f9 53 23 97 d5 0d ba 79 b9 87 00 4a fe fe 34",
     "18 b7 76 ea 21 06 9d 69 77 6a 33 e9 6b ad 48 e1 dd a0 a5 ef",
     "35 4f e6 7b 4a 12 6d 5d 35 fe 36 c7 77 79 1a 3f 7b a1 3d ef 48 4e 2d 39 08 af f7 22 fa d4 68 fb"
     "21 69 6d e9 5d 0b e9 11 c2 d3 17 4f 8a fc c2 01 03 5f 7b 6d 8e 69 40 2d e5 45 16 18 c2 1a 53 5f"
     "a9 d7 bf c5 b8 dd 9f c2 43 f8 cf 92 7d b3 13 22 d6 e8 81 ea a9 1a 99 61 70 e6 57 a0 5a 26 64 26"
     "d9 8c 88 00 3f 84 77 c1 22 70 94 a0 d9 fa 1e 8c 40 24 30 9c e1 ec cc b5 21 00 35 d4 7a c7 2e 8a"},
    {"1.6", &kOaepKey1, "26 52 10 50 84 42 71", "e4 ec 09 82 c2 33 6f 3a 67 7f 6a 35 61 74 eb 0c e8 87 ab c2",
     "42 ce e2 61 7b 1e ce a4 db 3f 48 29 38 6f bd 61 da fb f0 38 e1 80 d8 37 c9 63 66 df 24 c0 97 b4"
     "ab 0f ac 6b df 59 0d 82 1c 9f 10 64 2e 68 1a d0 5b 8d 78 b3 78 c0 f4 6c e2 fa d6 3f 74 e0 ad 3d"
     "f0 6b 07 5d 7e b5 f5 63 6f 8d 40 3b 90 59 ca 76 1b 5c 62 bb 52 aa 45 00 2e a7 0b aa ce 08 de d2"
     "43 b9 d8 cb d6 2a 68 ad e2 65 83 2b 56 56 4e 43 a6 fa 42 ed 19 9a 09 97 69 74 2d f1 53 9e 82 55"},
    {"2.2", &kOaepKey2, "2d", "b6 00 cf 3c 2e 50 6d 7f 16 77 8c 91 0d 3a 8b 00 3e ee 61 d5",
     "01 87 59 ff 1d f6 3b 27 92 41 05 62 31 44 16 a8 ae af 2a c6 34 b4 6f 94 0a b8 2d 64 db f1 65 ee"
     "e3 30 11 da 74 9d 4b ab 6e 2f cd 18 12 9c 9e 49 27 7d 84 53 11 2b 42 9a 22 2a 84 71 b0 70 99 39"
     "98 e7 58 86 1c 4d 3f 6d 74 9d 91 c4 29 0d 33 2c 7a 4a b3 f7 ea 35 ff 3a 07 d4 97 c9 55 ff 0f fc"
     "95 00 6b 62 c6 d2 96 81 0d 9b fa b0 24 19 6c 79 34 01 2c 2d f9 78 ef 29 9a ba 23 99 40 cb a1 02"
     "45"},
    {"2.4", &kOaepKey2,
     "a7 eb 2a 50 36 93 1d 27 d4 e8 91 32 6d 99 69 2f fa dd a9 bf 7e fd 3e 34 e6 22 c4 ad c0 85 f7 21"
     "df e8 85 07 2c 78 a2 03 b1 51 73 9b e5 40 fa 8c 15 3a 10 f0 0a",
     "9a 7b 3b 0e 70 8b d9 6f 81 90 ec ab 4f b9 b2 b3 80 5a 81 56",
     "00 a4 57 8c bc 17 63 18 a6 38 fb a7 d0 1d f1 57 46 af 44 d4 f6 cd 96 d7 e7 c4 95 cb f4 25 b0 9c"
     "64 9d 32 bf 88 6d a4 8f ba f9 89 a2 11 71 87 ca fb 1f b5 80 31 76 90 e3 cc d4 46 92 0b 7a f8 2b"
     "31 db 58 04 d8 7d 01 51 4a cb fa 91 56 e7 82 f8 67 f6 be d9 44 9e 0e 9a 2c 09 bc ec c6 aa 08 76"
     "36 96 5e 34 b3 ec 76 6f 2f e2 e4 30 18 a2 fd de b1 40 61 6a 0e 9d 82 e5 33 10 24 ee 06 52 fc 76"
     "41"},
};

TEST(RsaVectors, OaepSha1KnownAnswers) {
  for (const auto& v : kOaepVectors) {
    SCOPED_TRACE(v.name);
    TRsaPrivateKey key = LoadKey(*v.key);
    ByteArray c = rsa_detail::EncryptOAEPWithSeed(key.PublicKey(), Hex(v.message), TRSAHashType::rsahfSHA1,
                                                  {}, Hex(v.seed));
    EXPECT_EQ(ToHex(c), ToHex(Hex(v.cipher)));
    EXPECT_EQ(ToHex(RSADecryptOAEP(key, Hex(v.cipher), TRSAHashType::rsahfSHA1)), ToHex(Hex(v.message)));
  }
}

struct PssVector {
  const char* name;
  const VectorKey* key;
  const char* message;
  const char* salt;
  const char* signature;
};

const PssVector kPssVectors[] = {
    {"1.1", &kPssKey1,
     "cd c8 7d a2 23 d7 86 df 3b 45 e0 bb bc 72 13 26 d1 ee 2a f8 06 cc 31 54 75 cc 6f 0d 9c 66 e1 b6"
     "23 71 d4 5c e2 39 2e 1a c9 28 44 c3 10 10 2f 15 6a 0d 8d 52 c1 f4 c4 0b a3 aa 65 09 57 86 cb 76"
     "97 57 a6 56 3b a9 58 fe d0 bc c9 84 e8 b5 17 a3 d5 f5 15 b2 3b 8a 41 e7 4a a8 67 69 3f 90 df b0"
     "61 a6 e8 6d fa ae e6 44 72 c0 0e 5f 20 94 57 29 cb eb e7 7f 06 ce 78 e0 8f 40 98 fb a4 1f 9d 61"
     "93 c0 31 7e 8b 60 d4 b6 08 4a cb 42 d2 9e 38 08 a3 bc 37 2d 85 e3 31 17 0f cb f7 cc 72 d0 b7 1c"
     "29 66 48 b3 a4 d1 0f 41 62 95 d0 80 7a a6 25 ca b2 74 4f d9 ea 8f d2 23 c4 25 37 02 98 28 bd 16"
     "be 02 54 6f 13 0f d2 e3 3b 93 6d 26 76 e0 8a ed 1b 73 31 8b 75 0a 01 67 d0",
     "de e9 59 c7 e0 64 11 36 14 20 ff 80 18 5e d5 7f 3e 67 76 af",
     "90 74 30 8f b5 98 e9 70 1b 22 94 38 8e 52 f9 71 fa ac 2b 60 a5 14 5a f1 85 df 52 87 b5 ed 28 87"
     "e5 7c e7 fd 44 dc 86 34 e4 07 c8 e0 e4 36 0b c2 26 f3 ec 22 7f 9d 9e 54 63 8e 8d 31 f5 05 12 15"
     "df 6e bb 9c 2f 95 79 aa 77 59 8a 38 f9 14 b5 b9 c1 bd 83 c4 e2 f9 f3 82 a0 d0 aa 35 42 ff ee 65"
     "98 4a 60 1b c6 9e b2 8d eb 27 dc a1 2c 82 c2 d4 c3 f6 6c d5 00 f1 ff 2b 99 4d 8a 4e 30 cb b3 3c"},
    {"1.4", &kPssKey1, "bc 65 67 47 fa 9e af b3 f0",
     "05 6f 00 98 5d e1 4d 8e f5 ce a9 e8 2f 8c 27 be f7 20 33 5e",
     "46 09 79 3b 23 e9 d0 93 62 dc 21 bb 47 da 0b 4f 3a 76 22 64 9a 47 d4 64 01 9b 9a ea fe 53 35 9c"
     "17 8c 91 cd 58 ba 6b cb 78 be 03 46 a7 bc 63 7f 4b 87 3d 4b ab 38 ee 66 1f 19 96 34 c5 47 a1 ad"
     "84 42 e0 3d a0 15 b1 36 e5 43 f7 ab 07 c0 c1 3e 42 25 b8 de 8c ce 25 d4 f6 eb 84 00 f8 1f 7e 18"
     "33 b7 ee 6e 33 4d 37 09 64 ca 79 fd b8 72 b4 d7 52 23 b5 ee b0 81 01 59 1f b5 32 d1 55 a6 de 87"},
    {"2.1", &kPssKey2,
     "da ba 03 20 66 26 3f ae db 65 98 48 11 52 78 a5 2c 44 fa a3 a7 6f 37 51 5e d3 36 32 10 72 c4 0a"
     "9d 9b 53 bc 05 01 40 78 ad f5 20 87 51 46 aa e7 0f f0 60 22 6d cb 7b 1f 1f c2 7e 93 60",
     "57 bf 16 0b cb 02 bb 1d c7 28 0c f0 45 85 30 b7 d2 83 2f f7",
     "01 4c 5b a5 33 83 28 cc c6 e7 a9 0b f1 c0 ab 3f d6 06 ff 47 96 d3 c1 2e 4b 63 9e d9 13 6a 5f ec"
     "6c 16 d8 88 4b dd 99 cf dc 52 14 56 b0 74 2b 73 68 68 cf 90 de 09 9a db 8d 5f fd 1d ef f3 9b a4"
     "00 7a b7 46 ce fd b2 2d 7d f0 e2 25 f5 46 27 dc 65 46 61 31 72 1b 90 af 44 53 63 a8 35 8b 9f 60"
     "76 42 f7 8f ab 0a b0 f4 3b 71 68 d6 4b ae 70 d8 82 78 48 d8 ef 1e 42 1c 57 54 dd f4 2c 25 89 b5"
     "b3"},
};

TEST(RsaVectors, PssSha1KnownAnswers) {
  for (const auto& v : kPssVectors) {
    SCOPED_TRACE(v.name);
    TRsaPrivateKey key = LoadKey(*v.key);
    ByteArray mHash = Sha1(Hex(v.message));
    ByteArray sig = rsa_detail::SignPSSWithSalt(key, mHash, TRSAHashType::rsahfSHA1, Hex(v.salt));
    EXPECT_EQ(ToHex(sig), ToHex(Hex(v.signature)));
    EXPECT_TRUE(RSAVerifyPSS(key.PublicKey(), mHash, Hex(v.signature), TRSAHashType::rsahfSHA1, 20));
    ByteArray bad = Hex(v.signature);
    bad[bad.size() / 2] ^= 0x01;
    EXPECT_FALSE(RSAVerifyPSS(key.PublicKey(), mHash, bad, TRSAHashType::rsahfSHA1, 20));
    ByteArray otherHash = mHash;
    otherHash[0] ^= 0x80;
    EXPECT_FALSE(RSAVerifyPSS(key.PublicKey(), otherHash, Hex(v.signature), TRSAHashType::rsahfSHA1, 20));
  }
}

TEST(RsaVectors, FromPrimesDerivesTheCrtParameters) {
  const VectorKey& k = kOaepKey2;
  TRsaPrivateKey key = TRsaPrivateKey::FromPrimes(Hex(k.n), Hex(k.e), Hex(k.d), Hex(k.p), Hex(k.q));
  // The same ciphertext decrypts as with the published CRT values.
  EXPECT_EQ(ToHex(RSADecryptOAEP(key, Hex(kOaepVectors[2].cipher), TRSAHashType::rsahfSHA1)), "2D");
}

// ---- key validation ----

TEST(RsaKeys, RejectsUnusableKeys) {
  const VectorKey& k = kOaepKey1;
  ByteArray n = Hex(k.n), e = Hex(k.e);
  ByteArray evenN = n;
  evenN.back() ^= 1;
  ByteArray shortN(63, 0xFF);  // 504 bits
  struct Case {
    const char* name;
    ByteArray n, e;
  } cases[] = {
      {"zero modulus", ByteArray{0}, e},
      {"empty modulus", ByteArray{}, e},
      {"even modulus", evenN, e},
      {"short modulus", shortN, e},
      {"even exponent", n, Hex("01 00 00")},
      {"exponent one", n, Hex("01")},
      {"exponent not below modulus", n, n},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    try {
      TRsaPublicKey key(c.n, c.e);
      FAIL() << "accepted";
    } catch (const EuaSecurityError& err) {
      EXPECT_EQ(std::string(err.what()).rfind("Native Security Error: ", 0), 0u) << err.what();
    }
  }
  EXPECT_NO_THROW(TRsaPublicKey(ByteArray(64, 0xFF), e));  // 512 bits is the floor

  ByteArray badDp = Hex(k.dp);
  badDp.back() ^= 2;
  ByteArray badQinv = Hex(k.qinv);
  badQinv.back() ^= 1;
  EXPECT_THROW(TRsaPrivateKey::FromCrt(n, e, Hex(k.d), Hex(k.p), Hex(k.q), badDp, Hex(k.dq), Hex(k.qinv)),
               EuaSecurityError);
  EXPECT_THROW(TRsaPrivateKey::FromCrt(n, e, Hex(k.d), Hex(k.p), Hex(k.q), Hex(k.dp), Hex(k.dq), badQinv),
               EuaSecurityError);
  EXPECT_THROW(TRsaPrivateKey::FromCrt(n, e, Hex(k.d), Hex(k.q), Hex(k.q), Hex(k.dp), Hex(k.dq), Hex(k.qinv)),
               EuaSecurityError);
  EXPECT_THROW(TRsaPrivateKey::FromPrimes(n, e, Hex(k.d), Hex(k.p), Hex("03")), EuaSecurityError);
}

// ---- OpenSSL peer ----

using test::MdCtx;
using test::Pkey;
using test::PkeyCtx;

struct KeyPair {
  Pkey ossl;
  std::unique_ptr<TRsaPrivateKey> ours;
};

// One generated key per size for the whole run.
KeyPair& GeneratedKey(int bits) {
  static std::map<int, KeyPair> keys;
  auto it = keys.find(bits);
  if (it != keys.end()) return it->second;
  KeyPair kp;
  kp.ossl = test::GenerateRsaKey(bits);
  kp.ours = std::make_unique<TRsaPrivateKey>(test::NativeRsaKey(kp.ossl.get()));
  return keys.emplace(bits, std::move(kp)).first->second;
}

enum class Pad { Pkcs1, OaepSha1, OaepSha256 };

void SetPadding(EVP_PKEY_CTX* ctx, Pad pad) {
  if (pad == Pad::Pkcs1) {
    EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING);
  } else {
    const EVP_MD* md = pad == Pad::OaepSha1 ? EVP_sha1() : EVP_sha256();
    EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_OAEP_PADDING);
    EVP_PKEY_CTX_set_rsa_oaep_md(ctx, md);
    EVP_PKEY_CTX_set_rsa_mgf1_md(ctx, md);
  }
}

ByteArray OsslEncrypt(EVP_PKEY* key, Pad pad, ByteSpan msg) {
  PkeyCtx ctx(EVP_PKEY_CTX_new(key, nullptr));
  EVP_PKEY_encrypt_init(ctx.get());
  SetPadding(ctx.get(), pad);
  size_t len = 0;
  EVP_PKEY_encrypt(ctx.get(), nullptr, &len, msg.data(), msg.size());
  ByteArray out(len);
  if (EVP_PKEY_encrypt(ctx.get(), out.data(), &len, msg.data(), msg.size()) != 1)
    throw std::runtime_error("enc");
  out.resize(len);
  return out;
}

// Empty optional-like: returns false when OpenSSL rejects the ciphertext.
bool OsslDecrypt(EVP_PKEY* key, Pad pad, ByteSpan cipher, ByteArray& out) {
  PkeyCtx ctx(EVP_PKEY_CTX_new(key, nullptr));
  EVP_PKEY_decrypt_init(ctx.get());
  SetPadding(ctx.get(), pad);
  size_t len = 0;
  if (EVP_PKEY_decrypt(ctx.get(), nullptr, &len, cipher.data(), cipher.size()) != 1) return false;
  out.resize(len);
  if (EVP_PKEY_decrypt(ctx.get(), out.data(), &len, cipher.data(), cipher.size()) != 1) return false;
  out.resize(len);
  return true;
}

enum class Sig { Pkcs1Sha1, Pkcs1Sha256, PssSha256 };

ByteArray OsslSign(EVP_PKEY* key, Sig sig, ByteSpan data) {
  MdCtx md(EVP_MD_CTX_new());
  EVP_PKEY_CTX* pctx = nullptr;
  EVP_DigestSignInit(md.get(), &pctx, sig == Sig::Pkcs1Sha1 ? EVP_sha1() : EVP_sha256(), nullptr, key);
  if (sig == Sig::PssSha256) {
    EVP_PKEY_CTX_set_rsa_padding(pctx, RSA_PKCS1_PSS_PADDING);
    EVP_PKEY_CTX_set_rsa_pss_saltlen(pctx, RSA_PSS_SALTLEN_DIGEST);
  }
  size_t len = 0;
  EVP_DigestSign(md.get(), nullptr, &len, data.data(), data.size());
  ByteArray out(len);
  if (EVP_DigestSign(md.get(), out.data(), &len, data.data(), data.size()) != 1)
    throw std::runtime_error("sign");
  out.resize(len);
  return out;
}

bool OsslVerify(EVP_PKEY* key, Sig sig, ByteSpan data, ByteSpan signature) {
  MdCtx md(EVP_MD_CTX_new());
  EVP_PKEY_CTX* pctx = nullptr;
  EVP_DigestVerifyInit(md.get(), &pctx, sig == Sig::Pkcs1Sha1 ? EVP_sha1() : EVP_sha256(), nullptr, key);
  if (sig == Sig::PssSha256) {
    EVP_PKEY_CTX_set_rsa_padding(pctx, RSA_PKCS1_PSS_PADDING);
    EVP_PKEY_CTX_set_rsa_pss_saltlen(pctx, RSA_PSS_SALTLEN_DIGEST);
  }
  return EVP_DigestVerify(md.get(), signature.data(), signature.size(), data.data(), data.size()) == 1;
}

ByteArray OurEncrypt(const TRsaPublicKey& key, Pad pad, ByteSpan msg) {
  switch (pad) {
    case Pad::Pkcs1:
      return RSAEncryptPKCS(key, msg);
    case Pad::OaepSha1:
      return RSAEncryptOAEP(key, msg, TRSAHashType::rsahfSHA1);
    case Pad::OaepSha256:
      return RSAEncryptOAEP(key, msg, TRSAHashType::rsahfSHA256);
  }
  return {};
}
ByteArray OurDecrypt(const TRsaPrivateKey& key, Pad pad, ByteSpan c) {
  switch (pad) {
    case Pad::Pkcs1:
      return RSADecryptPKCS(key, c);
    case Pad::OaepSha1:
      return RSADecryptOAEP(key, c, TRSAHashType::rsahfSHA1);
    case Pad::OaepSha256:
      return RSADecryptOAEP(key, c, TRSAHashType::rsahfSHA256);
  }
  return {};
}
size_t Overhead(Pad pad) {
  return pad == Pad::Pkcs1 ? 11 : pad == Pad::OaepSha1 ? 42 : 66;
}

ByteArray OurSign(const TRsaPrivateKey& key, Sig sig, ByteSpan data) {
  switch (sig) {
    case Sig::Pkcs1Sha1:
      return RSASignPKCS1v15(key, data, TRSAHashType::rsahfSHA1);
    case Sig::Pkcs1Sha256:
      return RSASignPKCS1v15(key, data, TRSAHashType::rsahfSHA256);
    case Sig::PssSha256:
      return RSASignPSS(key, Sha256(data), TRSAHashType::rsahfSHA256, 32);
  }
  return {};
}
bool OurVerify(const TRsaPublicKey& key, Sig sig, ByteSpan data, ByteSpan s) {
  switch (sig) {
    case Sig::Pkcs1Sha1:
      return RSAVerifyPKCS1v15(key, data, s, TRSAHashType::rsahfSHA1);
    case Sig::Pkcs1Sha256:
      return RSAVerifyPKCS1v15(key, data, s, TRSAHashType::rsahfSHA256);
    case Sig::PssSha256:
      return RSAVerifyPSS(key, Sha256(data), s, TRSAHashType::rsahfSHA256, 32);
  }
  return false;
}

class RsaOpenSsl : public ::testing::TestWithParam<int> {};

TEST_P(RsaOpenSsl, EncryptionBothWays) {
  KeyPair& kp = GeneratedKey(GetParam());
  const TRsaPrivateKey& ours = *kp.ours;
  const size_t k = ours.ByteLength();
  ASSERT_EQ(k, static_cast<size_t>(GetParam() / 8));
  for (Pad pad : {Pad::Pkcs1, Pad::OaepSha1, Pad::OaepSha256}) {
    SCOPED_TRACE(static_cast<int>(pad));
    for (size_t len : {size_t{0}, size_t{1}, size_t{32}, k - Overhead(pad)}) {
      SCOPED_TRACE(len);
      ByteArray msg = SecureRandomBytes(len);
      ByteArray c = OurEncrypt(ours.PublicKey(), pad, msg);
      ASSERT_EQ(c.size(), k);
      ByteArray back;
      ASSERT_TRUE(OsslDecrypt(kp.ossl.get(), pad, c, back));
      EXPECT_EQ(back, msg);
      EXPECT_EQ(OurDecrypt(ours, pad, OsslEncrypt(kp.ossl.get(), pad, msg)), msg);
    }
    // One byte more than a block holds.
    EXPECT_THROW(OurEncrypt(ours.PublicKey(), pad, ByteArray(k - Overhead(pad) + 1, 1)), EuaSecurityError);
  }
}

TEST_P(RsaOpenSsl, SignaturesBothWays) {
  KeyPair& kp = GeneratedKey(GetParam());
  const TRsaPrivateKey& ours = *kp.ours;
  for (Sig sig : {Sig::Pkcs1Sha1, Sig::Pkcs1Sha256, Sig::PssSha256}) {
    SCOPED_TRACE(static_cast<int>(sig));
    ByteArray data = SecureRandomBytes(100);
    ByteArray s = OurSign(ours, sig, data);
    EXPECT_TRUE(OsslVerify(kp.ossl.get(), sig, data, s));
    ByteArray theirs = OsslSign(kp.ossl.get(), sig, data);
    EXPECT_TRUE(OurVerify(ours.PublicKey(), sig, data, theirs));
    if (sig != Sig::PssSha256) {
      EXPECT_EQ(s, theirs);  // v1.5 signatures are deterministic
    }

    ByteArray tampered = theirs;
    tampered[tampered.size() - 1] ^= 0x40;
    EXPECT_FALSE(OurVerify(ours.PublicKey(), sig, data, tampered));
    ByteArray otherData = data;
    otherData[0] ^= 1;
    EXPECT_FALSE(OurVerify(ours.PublicKey(), sig, otherData, theirs));
    EXPECT_FALSE(OurVerify(ours.PublicKey(), sig, data, ByteSpan(theirs).subspan(1)));
  }
}

TEST_P(RsaOpenSsl, TamperedCiphertextsAreRejected) {
  KeyPair& kp = GeneratedKey(GetParam());
  const TRsaPrivateKey& ours = *kp.ours;
  const size_t k = ours.ByteLength();
  ByteArray modulus = ours.PublicKey().Modulus().ToBytes(k);
  for (Pad pad : {Pad::Pkcs1, Pad::OaepSha1, Pad::OaepSha256}) {
    SCOPED_TRACE(static_cast<int>(pad));
    ByteArray c = OsslEncrypt(kp.ossl.get(), pad, ToBytes("secret"));
    for (size_t pos : {size_t{0}, k / 2, k - 1}) {
      ByteArray t = c;
      t[pos] ^= 0x01;
      try {
        ByteArray m = OurDecrypt(ours, pad, t);
        // A PKCS#1 v1.5 block can decode by chance; it must then differ from the message.
        EXPECT_TRUE(pad == Pad::Pkcs1 && m != ToBytes("secret"));
      } catch (const EuaSecurityError& e) {
        EXPECT_STREQ(e.what(), "Native Security Error: decrypt error");
      }
    }
    EXPECT_THROW(OurDecrypt(ours, pad, ByteSpan(c).subspan(1)), EuaSecurityError);
    ByteArray longer = c;
    longer.insert(longer.begin(), 0);
    EXPECT_THROW(OurDecrypt(ours, pad, longer), EuaSecurityError);
    EXPECT_THROW(OurDecrypt(ours, pad, modulus), EuaSecurityError);  // not below the modulus
  }
}

INSTANTIATE_TEST_SUITE_P(KeySizes, RsaOpenSsl, ::testing::Values(1024, 2048, 4096));

// ---- decoding of hand-made blocks ----

// Encrypts a raw block with the public exponent, so that the private side sees exactly em.
ByteArray RawBlock(const TRsaPrivateKey& key, ByteArray em) {
  return key.PublicKey().Raw(em);
}

TEST(RsaPadding, Pkcs1DecodingAcceptsOnlyTheStandardLayout) {
  KeyPair& kp = GeneratedKey(1024);
  const TRsaPrivateKey& key = *kp.ours;
  const size_t k = key.ByteLength();
  auto block = [&](uint8_t b0, uint8_t b1, size_t psLen, ByteArray msg) {
    ByteArray em{b0, b1};
    em.insert(em.end(), psLen, 0x5A);
    em.push_back(0);
    em.insert(em.end(), msg.begin(), msg.end());
    em.insert(em.begin() + 2, k - em.size(), 0x33);  // lengthen the padding to k bytes
    return em;
  };
  ByteArray msg = ToBytes("hello");
  EXPECT_EQ(RSADecryptPKCS(key, RawBlock(key, block(0, 2, 8, msg))), msg);
  ByteArray shortest{0, 2};
  shortest.insert(shortest.end(), 8, 0x77);
  shortest.push_back(0);
  shortest.insert(shortest.end(), k - 11, 0x42);
  EXPECT_EQ(RSADecryptPKCS(key, RawBlock(key, shortest)), ByteArray(k - 11, 0x42));
  ByteArray emptyMsg(k, 0x11);
  emptyMsg[0] = 0;
  emptyMsg[1] = 2;
  emptyMsg[k - 1] = 0;
  EXPECT_TRUE(RSADecryptPKCS(key, RawBlock(key, emptyMsg)).empty());

  ByteArray seven{0, 2};
  seven.insert(seven.end(), 7, 0x77);
  seven.push_back(0);
  seven.insert(seven.end(), k - seven.size(), 0x42);
  ByteArray noZero(k, 0x42);
  noZero[0] = 0;
  noZero[1] = 2;
  ByteArray legacy(k, 0x00);  // the 0x60 ... 0xBC layout of some old encoders
  legacy[0] = 0x60;
  for (size_t i = 1; i + 1 < k; ++i) legacy[i] = static_cast<uint8_t>(i | 1);
  legacy[k - 1] = 0xBC;
  ByteArray type1 = block(0, 1, 8, msg);
  ByteArray leading = block(1, 2, 8, msg);
  const struct {
    const char* name;
    ByteArray em;
  } bad[] = {{"seven padding bytes", seven},
             {"no separator", noZero},
             {"0x60..0xBC layout", legacy},
             {"block type 1", type1},
             {"first byte 1", leading}};
  for (const auto& c : bad) {
    SCOPED_TRACE(c.name);
    try {
      RSADecryptPKCS(key, RawBlock(key, c.em));
      FAIL() << "accepted";
    } catch (const EuaSecurityError& e) {
      EXPECT_STREQ(e.what(), "Native Security Error: decrypt error");
    }
  }
}

TEST(RsaPadding, OaepDecodingRejectsEveryBrokenField) {
  KeyPair& kp = GeneratedKey(1024);
  const TRsaPrivateKey& key = *kp.ours;
  const size_t k = key.ByteLength();
  const TRSAHashType h = TRSAHashType::rsahfSHA1;
  const size_t hLen = 20;
  ByteArray seed(hLen, 0x5C);
  // Re-masks a modified DB (and first byte) so that only the intended field is wrong.
  auto remask = [&](ByteArray db, uint8_t first) {
    ByteArray em(k);
    em[0] = first;
    ByteArray dbMask = MGF1(seed, k - hLen - 1, h);
    for (size_t i = 0; i < db.size(); ++i) db[i] ^= dbMask[i];
    ByteArray seedMask = MGF1(db, hLen, h);
    for (size_t i = 0; i < hLen; ++i) em[1 + i] = seed[i] ^ seedMask[i];
    std::copy(db.begin(), db.end(), em.begin() + 1 + hLen);
    return em;
  };
  ByteArray lHash = Sha1({});
  auto makeDb = [&](size_t zeros, uint8_t marker, ByteArray msg) {
    ByteArray db = lHash;
    db.insert(db.end(), zeros, 0);
    db.push_back(marker);
    db.insert(db.end(), msg.begin(), msg.end());
    return db;
  };
  const size_t dbLen = k - hLen - 1;
  ByteArray msg = ToBytes("abc");
  ByteArray good = makeDb(dbLen - hLen - 1 - msg.size(), 0x01, msg);
  EXPECT_EQ(RSADecryptOAEP(key, RawBlock(key, remask(good, 0)), h), msg);
  // The same block as the encoder makes it.
  EXPECT_EQ(remask(good, 0), rsa_detail::EncodeOAEP(msg, {}, h, k, seed));

  ByteArray wrongLabel = good;
  wrongLabel[3] ^= 1;
  ByteArray noMarker(dbLen, 0);
  std::copy(lHash.begin(), lHash.end(), noMarker.begin());
  ByteArray junkBeforeMarker = good;
  junkBeforeMarker[hLen + 2] = 0x02;
  ByteArray wrongMarker = makeDb(dbLen - hLen - 1 - msg.size(), 0x02, msg);
  const struct {
    const char* name;
    ByteArray em;
  } bad[] = {{"first byte", remask(good, 1)},
             {"label hash", remask(wrongLabel, 0)},
             {"no 0x01", remask(noMarker, 0)},
             {"junk before 0x01", remask(junkBeforeMarker, 0)},
             {"marker 0x02", remask(wrongMarker, 0)}};
  for (const auto& c : bad) {
    SCOPED_TRACE(c.name);
    try {
      RSADecryptOAEP(key, RawBlock(key, c.em), h);
      FAIL() << "accepted";
    } catch (const EuaSecurityError& e) {
      EXPECT_STREQ(e.what(), "Native Security Error: decrypt error");
    }
  }
  // A label that differs from the one used by the encoder.
  ByteArray c = RSAEncryptOAEP(key.PublicKey(), msg, h);
  EXPECT_THROW(RSADecryptOAEP(key, c, h, ToBytes("label")), EuaSecurityError);
  EXPECT_THROW(RSADecryptOAEP(key, c, TRSAHashType::rsahfSHA256), EuaSecurityError);
}

TEST(RsaPadding, RandomPartsDiffer) {
  KeyPair& kp = GeneratedKey(1024);
  const TRsaPublicKey& pub = kp.ours->PublicKey();
  ByteArray msg = ToBytes("same");
  EXPECT_NE(RSAEncryptPKCS(pub, msg), RSAEncryptPKCS(pub, msg));
  EXPECT_NE(RSAEncryptOAEP(pub, msg, TRSAHashType::rsahfSHA256),
            RSAEncryptOAEP(pub, msg, TRSAHashType::rsahfSHA256));
  ByteArray h = Sha256(msg);
  EXPECT_NE(RSASignPSS(*kp.ours, h, TRSAHashType::rsahfSHA256, 32),
            RSASignPSS(*kp.ours, h, TRSAHashType::rsahfSHA256, 32));
}

TEST(RsaPadding, UnsupportedHashesRaise) {
  KeyPair& kp = GeneratedKey(1024);
  for (TRSAHashType h : {TRSAHashType::rsahfMD5, TRSAHashType::rsahfSHA384, TRSAHashType::rsahfSHA512}) {
    EXPECT_THROW(RSAEncryptOAEP(kp.ours->PublicKey(), ToBytes("x"), h), EuaSecurityError);
    EXPECT_THROW(RSASignPKCS1v15(*kp.ours, ToBytes("x"), h), EuaSecurityError);
    EXPECT_EQ(RSAPlainBlockSize(256, TRSAEncryptionType::sbeOAEP, h), 0u);
  }
}

// ---- raw operation, block sizes and block-wise use ----

TEST(RsaRaw, SmallResultsKeepTheBlockLength) {
  KeyPair& kp = GeneratedKey(2048);
  const TRsaPrivateKey& key = *kp.ours;
  ByteArray one = key.Raw(Hex("01"));
  ASSERT_EQ(one.size(), 256u);
  EXPECT_EQ(one, TLInt(1).ToBytes(256));
  EXPECT_EQ(key.PublicKey().Raw(Hex("02")), TLInt::FromBytes(key.PublicKey().Raw(Hex("02"))).ToBytes(256));
  EXPECT_EQ(key.PublicKey().Raw(Hex("00")), ByteArray(256, 0));
  EXPECT_EQ(key.Raw(key.PublicKey().Raw(Hex("1234"))), TLInt(0x1234).ToBytes(256));
  EXPECT_THROW(key.Raw(ByteArray(257, 0)), EuaSecurityError);
}

TEST(RsaRaw, ConcurrentPrivateOperationsAreCorrect) {
  KeyPair& kp = GeneratedKey(1024);
  std::vector<std::thread> threads;
  std::vector<int> failures(4, 0);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 40; ++i) {  // crosses several blinding refreshes
        ByteArray data = {static_cast<uint8_t>(t), static_cast<uint8_t>(i)};
        ByteArray s = RSASignPKCS1v15(*kp.ours, data, TRSAHashType::rsahfSHA256);
        if (!RSAVerifyPKCS1v15(kp.ours->PublicKey(), data, s, TRSAHashType::rsahfSHA256)) ++failures[t];
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(failures, std::vector<int>(4, 0));
}

TEST(RsaBlocks, PlainBlockSizes) {
  const struct {
    TRSAEncryptionType type;
    TRSAHashType hash;
    size_t k, expected;
  } cases[] = {
      {TRSAEncryptionType::sbePKCS, TRSAHashType::rsahfSHA1, 256, 245},
      {TRSAEncryptionType::sbeOAEP, TRSAHashType::rsahfSHA1, 256, 214},
      {TRSAEncryptionType::sbeOAEP, TRSAHashType::rsahfSHA256, 256, 190},
      {TRSAEncryptionType::sbePKCS, TRSAHashType::rsahfSHA256, 512, 501},
      {TRSAEncryptionType::sbeOAEP, TRSAHashType::rsahfSHA256, 128, 62},
      {TRSAEncryptionType::sbeOAEP, TRSAHashType::rsahfSHA256, 60, 0},
  };
  for (const auto& c : cases) EXPECT_EQ(RSAPlainBlockSize(c.k, c.type, c.hash), c.expected) << c.k;
}

TEST(RsaBlocks, BlockWiseRoundTripsAndFill) {
  KeyPair& kp = GeneratedKey(2048);
  const TRsaPrivateKey& key = *kp.ours;
  // 30 bytes with fill: one block whose plaintext is the bytes and 184 zero bytes.
  ByteArray secret = SecureRandomBytes(30);
  ByteArray c =
      RSAEncryptBlocks(key.PublicKey(), TRSAEncryptionType::sbeOAEP, TRSAHashType::rsahfSHA1, secret, true);
  ASSERT_EQ(c.size(), 256u);
  ByteArray expected = secret;
  expected.resize(214, 0);
  EXPECT_EQ(RSADecryptBlocks(key, TRSAEncryptionType::sbeOAEP, TRSAHashType::rsahfSHA1, c), expected);
  ByteArray osslPlain;
  ASSERT_TRUE(OsslDecrypt(kp.ossl.get(), Pad::OaepSha1, c, osslPlain));
  EXPECT_EQ(osslPlain, expected);

  for (TRSAEncryptionType type : {TRSAEncryptionType::sbePKCS, TRSAEncryptionType::sbeOAEP}) {
    ByteArray plain = SecureRandomBytes(500);  // 245 + 245 + 10 or 190 + 190 + 120
    ByteArray cc = RSAEncryptBlocks(key.PublicKey(), type, TRSAHashType::rsahfSHA256, plain);
    EXPECT_EQ(cc.size(), 3 * 256u);
    EXPECT_EQ(RSADecryptBlocks(key, type, TRSAHashType::rsahfSHA256, cc), plain);
    EXPECT_THROW(RSADecryptBlocks(key, type, TRSAHashType::rsahfSHA256, ByteSpan(cc).subspan(1)),
                 EuaSecurityError);
  }
  EXPECT_TRUE(
      RSAEncryptBlocks(key.PublicKey(), TRSAEncryptionType::sbePKCS, TRSAHashType::rsahfSHA1, {}).empty());
}

TEST(RsaSignatures, DigestInfoPrefixesAndShortKeys) {
  EXPECT_EQ(ToHex(DigestInfoPrefix(TRSAHashType::rsahfSHA1)),
            ToHex(Hex("30 21 30 09 06 05 2B 0E 03 02 1A 05 00 04 14")));
  EXPECT_EQ(ToHex(DigestInfoPrefix(TRSAHashType::rsahfSHA256)),
            ToHex(Hex("30 31 30 0D 06 09 60 86 48 01 65 03 04 02 01 05 00 04 20")));
  // MGF1 of the PSS example: the first hash block is SHA-1(seed || 00000000).
  ByteArray seed = ToBytes("seed");
  ByteArray first = seed;
  first.insert(first.end(), 4, 0);
  EXPECT_EQ(ByteSpan(MGF1(seed, 25, TRSAHashType::rsahfSHA1)).first(20).size(), 20u);
  EXPECT_EQ(ToHex(ByteSpan(MGF1(seed, 25, TRSAHashType::rsahfSHA1)).first(20)), ToHex(Sha1(first)));
  EXPECT_EQ(MGF1(seed, 25, TRSAHashType::rsahfSHA1).size(), 25u);
  // PSS with a salt that does not fit the encoded message.
  KeyPair& kp = GeneratedKey(1024);
  EXPECT_THROW(RSASignPSS(*kp.ours, Sha256({}), TRSAHashType::rsahfSHA256, 100), EuaSecurityError);
  EXPECT_THROW(RSASignPSS(*kp.ours, Sha1({}), TRSAHashType::rsahfSHA256, 32),
               EuaSecurityError);  // wrong length
}

}  // namespace
}  // namespace varo::ua
