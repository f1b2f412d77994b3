#include <grp.h>
#include <pwd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "client_identity.h"
#include "exim_trust.h"

namespace {

using client_identity::Status;

TEST(ClientIdentity, NamesTheClientAsEximTakesItOrSaysWhichVariableIsBad) {
  struct Case {
    client_identity::Variables variables;
    Status status;
    const char* remote;
    const char* local;
  };
  const Case cases[] = {
      {{"192.0.2.10", "4444", "192.0.2.1", "25"}, Status::ok, "192.0.2.10.4444", "192.0.2.1.25"},
      {{"2001:DB8:0::10", "4444", "::1", nullptr}, Status::ok, "2001:db8::10.4444", "::1"},
      {{"::ffff:192.0.2.10", "4444", "::ffff:192.0.2.1", "25"}, Status::ok, "192.0.2.10.4444", "192.0.2.1.25"},
      // inet_ntop's dotted quad would read as an address and a port
      {{"::192.0.2.10", "4444", nullptr, nullptr}, Status::ok, "0:0:0:0:0:0:c000:20a.4444", ""},
      {{nullptr, "4444", "192.0.2.1", "25"}, Status::remote_missing, "", ""},
      {{"", nullptr, nullptr, nullptr}, Status::remote_not_an_address, "", ""},
      {{"mx.example", nullptr, nullptr, nullptr}, Status::remote_not_an_address, "", ""},
      {{"192.0.2.10.4444", nullptr, nullptr, nullptr}, Status::remote_not_an_address, "", ""},
      {{"192.0.2.10", "", nullptr, nullptr}, Status::remote_port_bad, "", ""},
      {{"192.0.2.10", "65535", nullptr, nullptr}, Status::ok, "192.0.2.10.65535", ""},
      {{"192.0.2.10", "65536", nullptr, nullptr}, Status::remote_port_bad, "", ""},
      {{"192.0.2.10", "4444", "here", "25"}, Status::local_not_an_address, "192.0.2.10.4444", ""},
      {{"192.0.2.10", "4444", "192.0.2.1", "smtp"}, Status::local_port_bad, "192.0.2.10.4444", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.variables.remote_ip == nullptr ? "(unset)" : c.variables.remote_ip);
    client_identity::Identity identity = client_identity::read(c.variables);
    EXPECT_EQ(identity.status, c.status);
    EXPECT_EQ(identity.remote, c.remote);
    EXPECT_EQ(identity.local, c.local);
  }
}

TEST(EximTrust, ReadsEximsAnswerAndJudgesAsEximDoes) {
  // real users and groups of the system, as exim would look them up
  const uid_t nobody = getpwnam("nobody")->pw_uid;
  const gid_t nogroup = getgrnam("nogroup")->gr_gid;
  const gid_t mail = getgrnam("mail")->gr_gid;
  const uid_t exim = getpwnam("Debian-exim")->pw_uid;
  const gid_t exim_group = getgrnam("Debian-exim")->gr_gid;

  std::optional<exim_trust::Settings> settings =
      exim_trust::parse_settings("exim_user = Debian-exim\ntrusted_users = uucp\ntrusted_groups =\n");
  ASSERT_TRUE(settings);
  EXPECT_EQ(settings->exim_user, "Debian-exim");
  EXPECT_EQ(settings->trusted_users, "uucp");
  EXPECT_EQ(settings->trusted_groups, "");
  EXPECT_FALSE(exim_trust::parse_settings("exim_user = Debian-exim\ntrusted_users = uucp\n"));
  EXPECT_FALSE(exim_trust::parse_settings("LOG: MAIN PANIC DIE\n  Exim configuration error\n"));

  using exim_trust::Verdict;
  struct Case {
    exim_trust::Settings settings;
    exim_trust::Caller caller;
    Verdict verdict;
  };
  const exim_trust::Settings debian{"Debian-exim", "uucp", ""};
  const Case cases[] = {
      {debian, {0, 0, {}}, Verdict::root},
      {debian, {exim, exim_group, {}}, Verdict::exim_user},
      {debian, {nobody, nogroup, {nogroup}}, Verdict::untrusted},
      // exim's group is no trust of its own
      {debian, {nobody, exim_group, {exim_group}}, Verdict::untrusted},
      {{"Debian-exim", "uucp : 65534", ""}, {nobody, nogroup, {}}, Verdict::trusted_users},
      {{"Debian-exim", "nobodyx:uucp", ""}, {nobody, nogroup, {}}, Verdict::untrusted},
      {{"Debian-exim", "uucp", "mail"}, {nobody, mail, {}}, Verdict::trusted_groups},
      {{"Debian-exim", "uucp", "uucp:mail"}, {nobody, nogroup, {nogroup, mail}}, Verdict::trusted_groups},
      {{"Debian-exim", "uucp", "uucp:mail"}, {nobody, nogroup, {nogroup}}, Verdict::untrusted},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.settings.trusted_users + " / " + c.settings.trusted_groups + " uid " + std::to_string(c.caller.uid));
    EXPECT_EQ(exim_trust::judge(c.settings, c.caller), c.verdict);
  }
}

}  // namespace
