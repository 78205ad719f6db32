#include "tls/leaf_cache.h"

#include <gtest/gtest.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <atomic>
#include <thread>
#include <vector>

#include "support/temp_folder.h"
#include "tls/authority_files.h"
#include "tls/tls_errors.h"

namespace trovanex {
namespace {

class LeafCacheTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto opened = CertificateAuthority::Open(folder_.path());
    ASSERT_TRUE(opened.authority) << opened.error;
    authority_ = std::move(opened.authority);
  }

  // Whether `leaf` chains to the authority for a TLS server, with `host` in its SAN.
  std::string Verify(const Leaf& leaf, const std::string& host, bool is_address) {
    X509_STORE* store = X509_STORE_new();
    X509_STORE_add_cert(store, authority_->Certificate());
    X509_STORE_CTX* context = X509_STORE_CTX_new();
    X509_STORE_CTX_init(context, store, leaf.Certificate(), nullptr);
    X509_VERIFY_PARAM* param = X509_STORE_CTX_get0_param(context);
    X509_VERIFY_PARAM_set_purpose(param, X509_PURPOSE_SSL_SERVER);
    if (is_address) {
      X509_VERIFY_PARAM_set1_ip_asc(param, host.c_str());
    } else {
      X509_VERIFY_PARAM_set1_host(param, host.c_str(), 0);
    }
    const bool ok = X509_verify_cert(context) == 1;
    std::string result =
        ok ? "ok" : X509_verify_cert_error_string(X509_STORE_CTX_get_error(context));
    X509_STORE_CTX_free(context);
    X509_STORE_free(store);
    return result;
  }

  testing::TempFolder folder_;
  std::unique_ptr<CertificateAuthority> authority_;
};

TEST_F(LeafCacheTest, LeafNamesTheHostInItsSanAndChainsToTheAuthority) {
  static constexpr char kLongName[] =
      "a-rather-long-label-for-a-host.another-long-label-beside-it.example";
  struct Case {
    const char* host;
    const char* name;  // normalised, as checked
    bool is_address;
  };
  const Case cases[] = {
      {"www.Example.COM", "www.example.com", false},
      {"example.com.", "example.com", false},
      {"127.0.0.1", "127.0.0.1", true},
      {"[::1]", "::1", true},
      {"[2001:DB8:0:0::1]", "2001:db8::1", true},
      // Too long for a common name: the SAN alone names it.
      {kLongName, kLongName, false},
  };
  LeafCache leaves(*authority_);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.host);
    const auto leaf = leaves.For(c.host);
    EXPECT_EQ(leaf->Host(), c.name);
    EXPECT_EQ(Verify(*leaf, c.name, c.is_address), "ok");
    // Not good for another name, nor as an authority.
    EXPECT_NE(Verify(*leaf, c.is_address ? "10.1.2.3" : "other.example", c.is_address), "ok");
    EXPECT_EQ(X509_check_ca(leaf->Certificate()), 0);
    int days = 0;
    int seconds = 0;
    ASN1_TIME_diff(&days, &seconds, X509_get0_notBefore(leaf->Certificate()),
                   X509_get0_notAfter(leaf->Certificate()));
    EXPECT_LT(days, 398);
  }
  for (const char* bad : {"", "a b.example", "x/y", ".example", "[]"}) {
    EXPECT_THROW(leaves.For(bad), TlsFailure) << bad;
  }
}

TEST_F(LeafCacheTest, KeepsOneLeafPerHostAndDropsTheLeastRecentlyUsed) {
  LeafCache leaves(*authority_, 2);
  const auto a = leaves.For("a.example");
  EXPECT_EQ(leaves.For("A.example"), a);
  const auto b = leaves.For("b.example");
  EXPECT_EQ(leaves.For("a.example"), a);  // now b is the least recently used
  leaves.For("c.example");
  EXPECT_EQ(leaves.Size(), 2u);
  EXPECT_EQ(leaves.For("a.example"), a);
  EXPECT_NE(leaves.For("b.example"), b);
}

TEST_F(LeafCacheTest, ThreadsSharingTheCacheAllGetValidLeaves) {
  LeafCache leaves(*authority_, 3);
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 100; ++i) {
        const std::string host = "h" + std::to_string((i + t) % 5) + ".example";
        if (leaves.For(host)->Host() != host) ++wrong;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(wrong, 0);
  EXPECT_EQ(leaves.Size(), 3u);
}

// A leaf never outlives the authority that signed it: it ends with the authority when that
// ends within the leaf's usual year, else a year from now.
TEST(LeafCacheEndTest, LeafEndsNoLaterThanItsAuthority) {
  struct Case {
    long authority_days;
    bool ends_with_authority;
  };
  const Case cases[] = {{10, true}, {364, true}, {366, false}, {3653, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.authority_days);
    testing::TempFolder folder;
    testing::WriteAuthority(folder, testing::Days(c.authority_days));
    const auto opened = CertificateAuthority::Open(folder.path());
    ASSERT_TRUE(opened.authority) << opened.error;
    LeafCache leaves(*opened.authority);
    const auto leaf = leaves.For("www.example.com");
    const ASN1_TIME* leaf_end = X509_get0_notAfter(leaf->Certificate());
    const ASN1_TIME* authority_end = X509_get0_notAfter(opened.authority->Certificate());
    if (c.ends_with_authority) {
      EXPECT_EQ(ASN1_TIME_compare(leaf_end, authority_end), 0);
    } else {
      EXPECT_EQ(ASN1_TIME_compare(leaf_end, authority_end), -1);
      int days = 0;
      int seconds = 0;
      ASSERT_EQ(ASN1_TIME_diff(&days, &seconds, nullptr, leaf_end), 1);
      EXPECT_EQ(days + (seconds > 0 ? 1 : 0), LeafCache::kValidDaysAhead);
    }
    // Still a leaf the authority vouches for, today.
    X509_STORE* store = X509_STORE_new();
    X509_STORE_add_cert(store, opened.authority->Certificate());
    X509_STORE_CTX* context = X509_STORE_CTX_new();
    X509_STORE_CTX_init(context, store, leaf->Certificate(), nullptr);
    X509_VERIFY_PARAM_set1_host(X509_STORE_CTX_get0_param(context), "www.example.com", 0);
    EXPECT_EQ(X509_verify_cert(context), 1)
        << X509_verify_cert_error_string(X509_STORE_CTX_get_error(context));
    X509_STORE_CTX_free(context);
    X509_STORE_free(store);
  }
}

}  // namespace
}  // namespace trovanex
