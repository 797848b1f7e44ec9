// dnsmasq_conf_test.cc - the generated dnsmasq file, line by line and as the
// real dnsmasq reads it.
#include "conffiles/dnsmasq_conf.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "store/operations.h"
#include "testing/real_peer.h"
#include "testing/store_fixture.h"

namespace cms::conffiles {
namespace {

constexpr const char* kSource = "/mnt/jffs2/conf/user/dnsmasq.conf";
constexpr const char* kTarget = "/tmp/dnsmasq.conf";

// The generator is given dnsmasq_auto-dns from the store, which holds what the
// source file held when it was loaded, as on the device.
class DnsmasqConf : public store::StoreFixture {
 protected:
  // Writes the source file, loads the tree afresh and generates.
  std::string Generate(const std::string& source) {
    root_.Write(kSource, source);
    store::ResetParamList();
    store::initialConfigLocationArray();
    LoadTree();
    do_usr_copy_dnsmasq(kSource, kTarget,
                        store::GetParamValue("dnsmasq_auto-dns", 1));
    return root_.Read(kTarget);
  }
};

// A router's file: system settings, options, leases and the lease counter.
constexpr const char* kRouterFile =
    "# LAN DHCP server\ndnsmasq_auto-dns=enable\ndnsmasq_relay_enable=disable\n"
    "dnsmasq_relay_dhcp_server=10.0.0.1\ndnsmasq_interface=br0\n"
    "dnsmasq_dhcp-range=192.168.1.100,192.168.1.200,255.255.255.0,12h\n"
    "dnsmasq_domain=home.lan\ndnsmasq_dhcp-lease-max=253\n"
    "dnsmasq_dhcp-option=option:ntp-server,192.168.1.1\n"
    "dnsmasq_dhcphost_num=3\n"
    "dnsmasq_dhcp-host1=1;00:11:22:33:44:55;192.168.1.10;laptop\n"
    "dnsmasq_dhcp-host2=0;00:11:22:33:44:66;192.168.1.11;printer\n"
    "dnsmasq_dhcp-host3=enabled 1;aa:bb:cc:dd:ee:ff;192.168.1.12;nas\n"
    "######end of file######\n";

TEST_F(DnsmasqConf, KeepsOptionsAndLeasesDropsMalformedLines) {
  // Custom options only while auto-dns is disabled.
  const std::string options =
      "dnsmasq_dhcp-option=6,192.168.1.1\n"
      "dnsmasq_dhcp-option2=option:router,192.168.1.1\n";
  // Without its prefix a kept line holds 510 characters and its line feed.
  const std::string fits = "domain=" + std::string(503, 'x');
  const std::string malformed =
      "dnsmasq_dhcp-host1=1;00:11:22:33:44:55;192.168.1.10\n"    // 3 fields
      "dnsmasq_dhcp-host2=1;;192.168.1.11;pc\n"                  // empty
      "dnsmasq_dhcp-host3 1;00:11:22:33:44:77;192.168.1.12;x\n"  // no "="
      "dnsmasq_dhcp-host4=1;" +
      std::string(128, 'a') + ";192.168.1.13;y\n" + "dnsmasq_" + fits + "\n" +
      "dnsmasq_" + fits + "y\n" +
      // Over the read buffer, with a tail that would read as an option.
      "dnsmasq_domain=" + std::string(1008, 'e') +
      "dnsmasq_dhcp-range=10.0.0.2,10.0.0.9,12h\n" +
      "dnsmasq_dhcp-host5=1;00:11:22:33:44:88;192.168.1.14;pc;extra\n" +
      "dnsmasq_domain=lan" + std::string(1, '\0') + "x\n" +
      "  dnsmasq_interface=br1\n" +  // not a parameter line
      "dnsmasq_=value\n" + "dnsmasq_\n" + "dnsmasq_#x\n" +
      "dnsmasq_dhcp-lease-max=64\r\n" +  // carriage return is no content
      "dnsmasq_log-dhcp";                // last line without line feed
  const std::string rows[][2] = {
      {kRouterFile,
       "interface=br0\n"
       "dhcp-range=192.168.1.100,192.168.1.200,255.255.255.0,12h\n"
       "domain=home.lan\ndhcp-lease-max=253\n"
       "dhcp-host=00:11:22:33:44:55,192.168.1.10,laptop\n"
       "dhcp-host=aa:bb:cc:dd:ee:ff,192.168.1.12,nas\n"},
      {options, ""},
      {options + "dnsmasq_auto-dns=enable\n", ""},
      {options + "dnsmasq_auto-dns=\n", ""},
      {options + "dnsmasq_auto-dns=disable\n",
       "dhcp-option=6,192.168.1.1\ndhcp-option2=option:router,192.168.1.1\n"},
      {malformed, fits + "\ndhcp-host=00:11:22:33:44:88,192.168.1.14,pc\n"
                         "dhcp-lease-max=64\nlog-dhcp\n"},
  };
  for (const auto& [source, expected] : rows) {
    SCOPED_TRACE(source.substr(0, 60));
    EXPECT_EQ(Generate(source), expected);
  }
  // An unreadable source or target leaves everything alone.
  root_.Write(kTarget, "old content\n");
  do_usr_copy_dnsmasq("/mnt/jffs2/conf/user/missing.conf", kTarget, nullptr);
  EXPECT_EQ(root_.Read(kTarget), "old content\n");
  do_usr_copy_dnsmasq(kSource, "/no/such/dir/dnsmasq.conf", nullptr);
  EXPECT_FALSE(root_.Exists("/no/such/dir/dnsmasq.conf"));
}

// With static leases, with custom options, and the shipped example; each
// with the trailer the file callback adds.
TEST_F(DnsmasqConf, RealDnsmasqAcceptsGeneratedFiles) {
  const std::string dnsmasq = testing::FindProgram("dnsmasq");
  ASSERT_NE(dnsmasq, "") << "needs dnsmasq (Debian package dnsmasq-base)";
  for (const std::string& source :
       {std::string(kRouterFile),
        std::string(
            "dnsmasq_auto-dns=disable\n"
            "dnsmasq_dhcp-range=192.168.8.2,192.168.8.254,255.255.255.0,24h\n"
            "dnsmasq_dhcp-option=6,8.8.8.8,1.1.1.1\n"
            "dnsmasq_dhcp-option=option:router,192.168.8.1\n"
            "dnsmasq_dhcp-option=42,192.168.8.1\n"
            "dnsmasq_dhcp-option=option:domain-search,home.lan,corp.example\n"),
        testing::TempRoot::ReadHost(
            std::filesystem::path(__FILE__).parent_path().parent_path() /
            "examples/user/dnsmasq.conf")}) {
    std::string text = Generate(source);
    EXPECT_NE(text, "");  // an empty file would pass trivially
    for (const char* line : kDnsmasqTrailer) text += line;
    root_.Write(kTarget, text);
    const std::string out = testing::RunPeer(
        {dnsmasq, "--test", "--conf-file=" + root_.Host(kTarget)}, {},
        root_.Host("/dnsmasq.log"));
    EXPECT_NE(out.find("syntax check OK"), std::string::npos) << out << text;
  }
}

}  // namespace
}  // namespace cms::conffiles
