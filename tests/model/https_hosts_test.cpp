#include "model/https_hosts.h"

#include <gtest/gtest.h>

namespace trovanex {
namespace {

TEST(HttpsHosts, WhichConnectHostsAListOpens) {
  const struct {
    const char* list;
    const char* host;
    bool opened;
  } rows[] = {
      // A "*." pattern takes the domain and every name below it, and nothing that merely ends
      // in the same letters or goes on after them.
      {"*.example.com", "example.com", true},
      {"*.example.com", "a.example.com", true},
      {"*.example.com", "a.b.example.com", true},
      {"*.example.com", "badexample.com", false},
      {"*.example.com", "example.com.evil", false},
      {"*.example.com", "example.co", false},
      {"*.example.com", "xample.com", false},
      {"*.example.com", ".example.com", false},
      // An exact host is that host alone, in any letter case, with or without the final dot.
      {"www.example.com", "www.example.com", true},
      {"www.example.com", "WWW.Example.COM", true},
      {"WWW.EXAMPLE.COM.", "www.example.com", true},
      {"www.example.com", "www.example.com.", true},
      {"www.example.com", "example.com", false},
      {"www.example.com", "a.www.example.com", false},
      {"*.Example.Com.", "A.EXAMPLE.com.", true},
      // Addresses: IPv4 as written, IPv6 as an address, with or without brackets on each side.
      {"192.0.2.7", "192.0.2.7", true},
      {"192.0.2.7", "192.0.2.70", false},
      {"::1", "[::1]", true},
      {"[::1]", "::1", true},
      {"[0:0::1]", "[::1]", true},
      {"2001:DB8::1", "[2001:db8:0:0:0:0:0:1]", true},
      {"::1", "[::2]", false},
      // Blanks and empty entries between patterns; every pattern of the list counts.
      {" a.test ; ;*.b.test;", "x.b.test", true},
      {" a.test ; ;*.b.test;", "a.test", true},
      {" a.test ; ;*.b.test;", "c.test", false},
      // Entries that are no patterns match nothing, not everything; the good ones still work.
      {"*", "example.com", false},
      {"*.", "example.com", false},
      {"*.*", "example.com", false},
      {"a*b", "a*b", false},
      {"*example.com", "example.com", false},
      {"**.example.com", "a.example.com", false},
      {"*.*.example.com", "a.b.example.com", false},
      {"a.example.com a.test", "a.test", false},
      {"example.com:443", "example.com", false},
      {"[::1]:443", "::1", false},
      {"[::1", "::1", false},
      {"a..example.com", "a..example.com", false},
      {"*.0.0.1", "127.0.0.1", false},
      {"*.1", "127.0.0.1", false},
      {"*;*.b.test", "a.test", false},
      {"*;*.b.test", "a.b.test", true},
      // Odd hosts from a CONNECT line never match by accident.
      {"*.example.com", "", false},
      {"*.example.com", "[]", false},
      {"*.example.com", "a example.com", false},
      {"", "example.com", false},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(HttpsHosts::Parse(row.list).Matches(row.host), row.opened)
        << "\"" << row.list << "\" with " << row.host;
  }
}

TEST(HttpsHosts, RefusedEntriesAndTheOwnFormOfTheRest) {
  const HttpsHosts hosts =
      HttpsHosts::Parse(" *.Example.COM. ;*; a b ;[0:0::1];; *. ;Www.Test;a*b");
  EXPECT_EQ(hosts.Joined(), "*.example.com;::1;www.test");
  EXPECT_EQ(hosts.Rejected(), (std::vector<std::string>{"*", "a b", "*.", "a*b"}));
  EXPECT_EQ(hosts.Text(), " *.Example.COM. ;*; a b ;[0:0::1];; *. ;Www.Test;a*b");
  EXPECT_EQ(HttpsHosts::Parse(hosts.Joined()).Patterns(), hosts.Patterns());
}

}  // namespace
}  // namespace trovanex
