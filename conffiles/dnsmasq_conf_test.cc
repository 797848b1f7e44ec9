// dnsmasq_conf_test.cc - the generated dnsmasq file, line by line.
#include "conffiles/dnsmasq_conf.h"

#include <gtest/gtest.h>

#include <string>

#include "store/operations.h"
#include "testing/store_fixture.h"

namespace cms::conffiles {
namespace {

constexpr const char* kSource = "/mnt/jffs2/conf/user/dnsmasq.conf";
constexpr const char* kTarget = "/tmp/dnsmasq.conf";

// The generator is given dnsmasq_auto-dns from the store, which holds what the
// source file held when it was loaded, as on the device.
class DnsmasqConf : public store::StoreFixture {
 protected:
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

TEST_F(DnsmasqConf, KeepsOptionsAndLeasesDropsMalformedLines) {
  // Custom options only while auto-dns is disabled.
  const std::string options = "dnsmasq_dhcp-option=6,192.168.1.1\n";
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
      {"# LAN\ndnsmasq_auto-dns=enable\ndnsmasq_relay_enable=disable\n"
       "dnsmasq_interface=br0\ndnsmasq_dhcphost_num=2\n"
       "dnsmasq_dhcp-host1=1;00:11:22:33:44:55;192.168.1.10;laptop\n"
       "dnsmasq_dhcp-host2=0;00:11:22:33:44:66;192.168.1.11;printer\n"
       "######end of file######\n",
       "interface=br0\ndhcp-host=00:11:22:33:44:55,192.168.1.10,laptop\n"},
      {options, ""},
      {options + "dnsmasq_auto-dns=disable\n", "dhcp-option=6,192.168.1.1\n"},
      {malformed, fits + "\ndhcp-host=00:11:22:33:44:88,192.168.1.14,pc\n"
                         "dhcp-lease-max=64\nlog-dhcp\n"},
  };
  for (const auto& [source, expected] : rows) {
    SCOPED_TRACE(source.substr(0, 60));
    EXPECT_EQ(Generate(source), expected);
  }
}

}  // namespace
}  // namespace cms::conffiles
