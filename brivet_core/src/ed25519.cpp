#include "ed25519.h"

#include <openssl/evp.h>

#include <memory>

namespace brivet::core::ed25519 {
namespace {

// Field elements mod p = 2^255 - 19 in five 51-bit limbs.
using u128 = unsigned __int128;
struct Fe {
    uint64_t v[5];
};
constexpr uint64_t kMask = (uint64_t{1} << 51) - 1;

// d = -121665 / 121666 mod p
constexpr Fe kD{{0x34dca135978a3, 0x1a8283b156ebd, 0x5e7a26001c029, 0x739c663a03cbb, 0x52036cee2b6ff}};
constexpr Fe kOne{{1, 0, 0, 0, 0}};

Fe load(const PublicKey& s) {
    auto le64 = [&](int i) {
        uint64_t r = 0;
        for (int k = 7; k >= 0; --k) r = (r << 8) | s[static_cast<size_t>(i + k)];
        return r;
    };
    Fe h;
    h.v[0] = le64(0) & kMask;
    h.v[1] = (le64(6) >> 3) & kMask;
    h.v[2] = (le64(12) >> 6) & kMask;
    h.v[3] = (le64(19) >> 1) & kMask;
    h.v[4] = (le64(24) >> 12) & kMask;  // drops the sign bit
    return h;
}

// Carries every limb back below 2^51 (limb 0 may end a little above).
Fe weak(Fe h) {
    uint64_t c = 0;
    for (int i = 0; i < 5; ++i) {
        h.v[i] += c;
        c = h.v[i] >> 51;
        h.v[i] &= kMask;
    }
    h.v[0] += c * 19;
    return h;
}

Fe add(const Fe& f, const Fe& g) {
    Fe h;
    for (int i = 0; i < 5; ++i) h.v[i] = f.v[i] + g.v[i];
    return weak(h);
}

// f - g for carried inputs (limbs at most about 2^51), adding 4p so that no
// limb goes negative.
Fe sub(const Fe& f, const Fe& g) {
    constexpr uint64_t four_p0 = 0x1FFFFFFFFFFFB4, four_pi = 0x1FFFFFFFFFFFFC;
    Fe h;
    h.v[0] = f.v[0] + four_p0 - g.v[0];
    for (int i = 1; i < 5; ++i) h.v[i] = f.v[i] + four_pi - g.v[i];
    return weak(h);
}

Fe carry(const u128 r[5]) {
    Fe h;
    u128 c0 = r[0], c1 = r[1], c2 = r[2], c3 = r[3], c4 = r[4];
    c1 += c0 >> 51;
    c2 += c1 >> 51;
    c3 += c2 >> 51;
    c4 += c3 >> 51;
    uint64_t top = static_cast<uint64_t>(c4 >> 51);
    h.v[0] = (static_cast<uint64_t>(c0) & kMask) + top * 19;
    h.v[1] = static_cast<uint64_t>(c1) & kMask;
    h.v[2] = static_cast<uint64_t>(c2) & kMask;
    h.v[3] = static_cast<uint64_t>(c3) & kMask;
    h.v[4] = static_cast<uint64_t>(c4) & kMask;
    h.v[1] += h.v[0] >> 51;
    h.v[0] &= kMask;
    return h;
}

Fe mul(const Fe& f, const Fe& g) {
    const uint64_t f0 = f.v[0], f1 = f.v[1], f2 = f.v[2], f3 = f.v[3], f4 = f.v[4];
    const uint64_t g0 = g.v[0], g1 = g.v[1], g2 = g.v[2], g3 = g.v[3], g4 = g.v[4];
    const uint64_t g1_19 = g1 * 19, g2_19 = g2 * 19, g3_19 = g3 * 19, g4_19 = g4 * 19;
    u128 r[5];
    r[0] = (u128)f0 * g0 + (u128)f1 * g4_19 + (u128)f2 * g3_19 + (u128)f3 * g2_19 + (u128)f4 * g1_19;
    r[1] = (u128)f0 * g1 + (u128)f1 * g0 + (u128)f2 * g4_19 + (u128)f3 * g3_19 + (u128)f4 * g2_19;
    r[2] = (u128)f0 * g2 + (u128)f1 * g1 + (u128)f2 * g0 + (u128)f3 * g4_19 + (u128)f4 * g3_19;
    r[3] = (u128)f0 * g3 + (u128)f1 * g2 + (u128)f2 * g1 + (u128)f3 * g0 + (u128)f4 * g4_19;
    r[4] = (u128)f0 * g4 + (u128)f1 * g3 + (u128)f2 * g2 + (u128)f3 * g1 + (u128)f4 * g0;
    return carry(r);
}

Fe sq(const Fe& f) {
    const uint64_t f0 = f.v[0], f1 = f.v[1], f2 = f.v[2], f3 = f.v[3], f4 = f.v[4];
    const uint64_t f0_2 = f0 * 2, f1_2 = f1 * 2, f3_19 = f3 * 19, f4_19 = f4 * 19, f4_38 = f4 * 38, f2_38 = f2 * 38;
    u128 r[5];
    r[0] = (u128)f0 * f0 + (u128)f1 * f4_38 + (u128)f2_38 * f3;
    r[1] = (u128)f0_2 * f1 + (u128)f2 * f4_38 + (u128)f3 * f3_19;
    r[2] = (u128)f0_2 * f2 + (u128)f1 * f1 + (u128)f3 * f4_38;
    r[3] = (u128)f0_2 * f3 + (u128)f1_2 * f2 + (u128)f4 * f4_19;
    r[4] = (u128)f0_2 * f4 + (u128)f1_2 * f3 + (u128)f2 * f2;
    return carry(r);
}

Fe sqn(Fe f, int n) {
    for (int i = 0; i < n; ++i) f = sq(f);
    return f;
}

// z^((p - 5) / 8) = z^(2^252 - 3)
Fe pow22523(const Fe& z) {
    Fe t0 = sq(z);                    // z^2
    Fe t1 = sqn(t0, 2);               // z^8
    t1 = mul(z, t1);                  // z^9
    t0 = mul(t0, t1);                 // z^11
    t0 = sq(t0);                      // z^22
    t0 = mul(t1, t0);                 // z^(2^5 - 1)
    t1 = sqn(t0, 5);
    t0 = mul(t1, t0);                 // z^(2^10 - 1)
    t1 = sqn(t0, 10);
    t1 = mul(t1, t0);                 // z^(2^20 - 1)
    Fe t2 = sqn(t1, 20);
    t1 = mul(t2, t1);                 // z^(2^40 - 1)
    t1 = sqn(t1, 10);
    t0 = mul(t1, t0);                 // z^(2^50 - 1)
    t1 = sqn(t0, 50);
    t1 = mul(t1, t0);                 // z^(2^100 - 1)
    t2 = sqn(t1, 100);
    t1 = mul(t2, t1);                 // z^(2^200 - 1)
    t1 = sqn(t1, 50);
    t0 = mul(t1, t0);                 // z^(2^250 - 1)
    t0 = sqn(t0, 2);                  // z^(2^252 - 4)
    return mul(t0, z);                // z^(2^252 - 3)
}

// Fully reduced limbs in [0, p).
Fe canonical(Fe f) {
    uint64_t* t = f.v;
    auto pass = [&](bool fold) {
        t[1] += t[0] >> 51; t[0] &= kMask;
        t[2] += t[1] >> 51; t[1] &= kMask;
        t[3] += t[2] >> 51; t[2] &= kMask;
        t[4] += t[3] >> 51; t[3] &= kMask;
        if (fold) {
            t[0] += 19 * (t[4] >> 51);
            t[4] &= kMask;
        }
    };
    pass(true);
    pass(true);
    // Now below 2^255. Adding 19 and then 2^255 - 19 leaves the value
    // offset by exactly 2^255 (dropped below) when it was at least p.
    t[0] += 19;
    pass(true);
    t[0] += (kMask + 1) - 19;
    t[1] += kMask;
    t[2] += kMask;
    t[3] += kMask;
    t[4] += kMask;
    pass(false);
    t[4] &= kMask;
    return f;
}

bool isZero(const Fe& f) {
    Fe c = canonical(f);
    return (c.v[0] | c.v[1] | c.v[2] | c.v[3] | c.v[4]) == 0;
}

bool yBelowP(const PublicKey& s) {
    // y >= p exactly when the low 255 bits are 2^255 - 19 ... 2^255 - 1.
    if ((s[31] & 0x7F) != 0x7F) return true;
    for (int i = 30; i >= 1; --i)
        if (s[static_cast<size_t>(i)] != 0xFF) return true;
    return s[0] < 0xED;
}

struct PkeyFree {
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
struct MdCtxFree {
    void operator()(EVP_MD_CTX* p) const { EVP_MD_CTX_free(p); }
};

}  // namespace

bool isValidPoint(const PublicKey& key) noexcept {
    if (!yBelowP(key)) return false;
    const bool sign = (key[31] & 0x80) != 0;
    const Fe y = load(key);
    const Fe y2 = sq(y);
    const Fe u = sub(y2, kOne);
    const Fe v = add(mul(kD, y2), kOne);
    if (isZero(u)) return !sign;  // x = 0 has no negative form
    const Fe v3 = mul(sq(v), v);
    const Fe v7 = mul(sq(v3), v);
    const Fe x = mul(mul(u, v3), pow22523(mul(u, v7)));
    const Fe vx2 = mul(v, sq(x));
    // A root exists when v x^2 = u, or v x^2 = -u (then x * sqrt(-1) is one).
    return isZero(sub(vx2, u)) || isZero(add(vx2, u));
}

bool verify(const PublicKey& key, std::span<const uint8_t> message, std::span<const uint8_t, 64> signature) {
    std::unique_ptr<EVP_PKEY, PkeyFree> pkey(
        EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, key.data(), key.size()));
    if (!pkey) return false;
    std::unique_ptr<EVP_MD_CTX, MdCtxFree> ctx(EVP_MD_CTX_new());
    if (!ctx) return false;
    if (EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, pkey.get()) != 1) return false;
    return EVP_DigestVerify(ctx.get(), signature.data(), signature.size(), message.data(), message.size()) == 1;
}

}  // namespace brivet::core::ed25519
