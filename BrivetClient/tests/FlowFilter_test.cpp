#include "BrivetClient/FlowFilter.h"

#include <gtest/gtest.h>

using brivet::FlowAction;
using brivet::FlowDescription;
using brivet::FlowFilter;
using brivet::FlowVerdict;
using brivet::HostDecision;
using brivet::RuleSet;

namespace {

FlowFilter exampleFilter() {
    return FlowFilter(RuleSet({"ads"}, {}, {{"domain", "ok.ads.example.com"}},
                              {{"ads", 1, {{"domain_suffix", "ads.example.com"}}}}));
}

FlowDescription outbound(std::optional<std::string> url, std::optional<std::string> hostname) {
    FlowDescription f;
    f.url = std::move(url);
    f.remoteHostname = std::move(hostname);
    return f;
}

}  // namespace

TEST(FlowFilter, InboundFlowsAreAllowedWithoutHost) {
    FlowDescription f = outbound("https://ads.example.com/", "ads.example.com");
    f.direction = FlowDescription::Direction::inbound;
    EXPECT_EQ(exampleFilter().verdict(f), (FlowVerdict{FlowAction::allow, HostDecision::pass(), std::nullopt}));
}

TEST(FlowFilter, HostComesFromURLThenRemoteHostname) {
    const FlowFilter filter = exampleFilter();
    EXPECT_EQ(filter.verdict(outbound("https://ads.example.com/path?q=1", "other.example.org")),
              (FlowVerdict{FlowAction::drop, HostDecision::block("ads"), "ads.example.com"}));
    EXPECT_EQ(filter.verdict(outbound("https://user:pw@X.Ads.Example.com:8443/p", std::nullopt)),
              (FlowVerdict{FlowAction::drop, HostDecision::block("ads"), "X.Ads.Example.com"}));
    EXPECT_EQ(filter.verdict(outbound("https://ok.ads.example.com/", std::nullopt)),
              (FlowVerdict{FlowAction::allow, HostDecision::allow(), "ok.ads.example.com"}));
    // Address hosts fall back to the remote host name.
    EXPECT_EQ(filter.verdict(outbound("https://[::1]:443/", "ads.example.com")).host, "ads.example.com");
    EXPECT_EQ(filter.verdict(outbound("http://10.0.0.1/", "m.ads.example.com")).action, FlowAction::drop);
    EXPECT_EQ(filter.verdict(outbound("mailto:someone@example.com", "ads.example.com")).host, "ads.example.com");
    EXPECT_EQ(filter.verdict(outbound("file:///etc/hosts", "ads.example.com")).host, "ads.example.com");
    // Neither usable: allowed with pass.
    EXPECT_EQ(filter.verdict(outbound("http://10.0.0.1/", "192.168.0.1")),
              (FlowVerdict{FlowAction::allow, HostDecision::pass(), std::nullopt}));
    EXPECT_EQ(filter.verdict(outbound(std::nullopt, "")), (FlowVerdict{FlowAction::allow, HostDecision::pass(), std::nullopt}));
    EXPECT_EQ(filter.verdict(outbound(std::nullopt, "cafe:babe")).host, std::nullopt);
    EXPECT_EQ(filter.verdict(outbound(std::nullopt, "unlisted.example")),
              (FlowVerdict{FlowAction::allow, HostDecision::pass(), "unlisted.example"}));
    EXPECT_EQ(FlowFilter::host(outbound("//ads.example.com/x", std::nullopt)), "ads.example.com");
    EXPECT_EQ(FlowFilter::host(outbound("https://caf%C3%A9.example/", std::nullopt)), "caf\u00E9.example");
}

// An "xn--" rule drops the flow whose URL names the host in Unicode, and a
// Unicode rule the one named in the ASCII form; the verdict keeps the host
// as found.
TEST(FlowFilter, InternationalHostsMatchRulesInEitherForm) {
    const FlowFilter filter(RuleSet({}, {{"domain_suffix", "xn--bcher-kva.example"}, {"domain", "caf\u00E9.example"}}, {}, {}));
    EXPECT_EQ(filter.verdict(outbound("https://shop.b%C3%BCcher.example/", std::nullopt)),
              (FlowVerdict{FlowAction::drop, HostDecision::blockCustom(), "shop.b\u00FCcher.example"}));
    EXPECT_EQ(filter.verdict(outbound("https://B\u00DCCHER.example/", std::nullopt)).action, FlowAction::drop);
    EXPECT_EQ(filter.verdict(outbound(std::nullopt, "xn--caf-dma.example")),
              (FlowVerdict{FlowAction::drop, HostDecision::blockCustom(), "xn--caf-dma.example"}));
    EXPECT_EQ(filter.verdict(outbound(std::nullopt, "cafe.example")).action, FlowAction::allow);
}

TEST(FlowFilter, AddressLiterals) {
    for (const char* yes : {"10.0.0.1", "010.0.0.1", "+1.2.3.4", "-0.0.0.0", "255.255.255.255", "::1", "[::1]",
                            "fe80::1%en0", "::ffff:1.2.3.4", "cafe:babe", "\uFF11:\uFF41"}) {
        EXPECT_TRUE(FlowFilter::isAddressLiteral(yes)) << yes;
    }
    for (const char* no : {"1.2.3", "1.2.3.4.5", "256.0.0.1", "-1.0.0.1", "1..2.3", "[::1", "%:1", "example.com", "",
                           "1.2.3.4 ", "1.2.3.+", "99999999999999999999.1.1.1", "::g", "[]", "a:b\xFF"}) {
        EXPECT_FALSE(FlowFilter::isAddressLiteral(no)) << no;
    }
}
