// The key that ties an upstream's reply to the query it answers.
#include "DNSTestSupport.h"

#include "keldra-proxy/DNSWire.h"

#include <gtest/gtest.h>

using namespace keldra_test;
using brivet::DNSQueryKey;
using brivet::DNSQuestionKey;

namespace {

Bytes replyTo(Bytes query) {
    query[2] |= 0x80;
    return query;
}

TEST(DNSQueryKey, AReplyMustRepeatTheIdAndTheQuestionInAnyLetterCase) {
    const Bytes query = buildQuery("www.Example.com", 28, 1, 0x4242);
    const auto key = DNSQueryKey::of(query);
    ASSERT_TRUE(key);
    ASSERT_TRUE(key->question());

    EXPECT_TRUE(key->answeredBy(replyTo(query)));
    // Resolvers may echo the question with other letter case.
    EXPECT_TRUE(key->answeredBy(replyTo(buildQuery("WWW.example.COM", 28, 1, 0x4242))));

    EXPECT_FALSE(key->answeredBy(replyTo(buildQuery("www.example.com", 28, 1, 0x4243)))) << "another ID";
    EXPECT_FALSE(key->answeredBy(replyTo(buildQuery("www.example.org", 28, 1, 0x4242)))) << "another name";
    EXPECT_FALSE(key->answeredBy(replyTo(buildQuery("www.example.com", 1, 1, 0x4242)))) << "another type";
    EXPECT_FALSE(key->answeredBy(replyTo(buildQuery("www.example.com", 28, 3, 0x4242)))) << "another class";
    EXPECT_FALSE(key->answeredBy(replyTo(buildQuery("wwwexample.com", 28, 1, 0x4242)))) << "labels split elsewhere";

    // A reply with the right ID but no question, or cut inside it.
    Bytes bare = replyTo(query);
    bare[5] = 0;
    EXPECT_FALSE(key->answeredBy(bare));
    Bytes cut = replyTo(query);
    cut.resize(cut.size() - 3);
    EXPECT_FALSE(key->answeredBy(cut));

    // 37 bytes of garbage that happen to start with the ID.
    Bytes garbage(37, 0xEE);
    garbage[0] = 0x42;
    garbage[1] = 0x42;
    EXPECT_FALSE(key->answeredBy(garbage));
}

TEST(DNSQueryKey, AQueryWithoutAReadableQuestionMatchesOnItsIdAlone) {
    // A question written with a compression pointer cannot be read.
    const Bytes compressed = {0x12, 0x34, 0x01, 0x00, 0, 1, 0, 0, 0, 0, 0, 0, 0xC0, 0x0C, 0, 1, 0, 1};
    const auto key = DNSQueryKey::of(compressed);
    ASSERT_TRUE(key);
    EXPECT_FALSE(key->question());
    EXPECT_TRUE(key->answeredBy(replyTo(buildQuery("anything.test", 1, 1, 0x1234))));
    EXPECT_FALSE(key->answeredBy(replyTo(buildQuery("anything.test", 1, 1, 0x1235))));
    // Still no reply shorter than a header.
    EXPECT_FALSE(key->answeredBy(Bytes{0x12, 0x34, 0x81}));

    EXPECT_FALSE(DNSQueryKey::of(Bytes{0x12}));
    EXPECT_FALSE(DNSQuestionKey::of(buildQuery("a.test")).value().name.empty());
    EXPECT_FALSE(DNSQuestionKey::of(Bytes{0x12, 0x34, 0x01, 0x00, 0, 0, 0, 0, 0, 0, 0, 0}));
}

}  // namespace
