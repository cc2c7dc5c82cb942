// The libldap directory client without a directory server: bind names, error codes, and
// servers that refuse or never answer (loopback only).
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <ldap.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>

#include "worker/directory/ldap_directory.h"

namespace orvane {
namespace {

TEST(LdapDirectoryNames, DnsDomainIsTheDcComponentsInOrder) {
    EXPECT_EQ(DnsDomainOfDn("DC=corp,DC=example,DC=com"), "corp.example.com");
    EXPECT_EQ(DnsDomainOfDn("dc=corp, Dc = example"), "corp.example");
    EXPECT_EQ(DnsDomainOfDn("OU=Sales,DC=corp,DC=com"), "corp.com");
    EXPECT_EQ(DnsDomainOfDn("O=Example"), "");
    EXPECT_EQ(DnsDomainOfDn(""), "");
}

TEST(LdapDirectoryNames, BareUserIsQualifiedOthersAreSentAsGiven) {
    const char* nc = "DC=corp,DC=example,DC=com";
    EXPECT_EQ(QualifiedBindName("ann", nc), "ann@corp.example.com");
    EXPECT_EQ(QualifiedBindName("ann@other.org", nc), "ann@other.org");
    EXPECT_EQ(QualifiedBindName("CORP\\ann", nc), "CORP\\ann");
    EXPECT_EQ(QualifiedBindName("CN=svc,CN=Users,DC=corp,DC=example,DC=com", nc),
              "CN=svc,CN=Users,DC=corp,DC=example,DC=com");
    EXPECT_EQ(QualifiedBindName("ann", "O=Example"), "ann");
}

TEST(LdapDirectoryNames, ResultCodesBecomeSystemCodes) {
    EXPECT_EQ(SystemCodeOfLdapResult(LDAP_SUCCESS), 0);
    EXPECT_EQ(SystemCodeOfLdapResult(LDAP_INVALID_CREDENTIALS), EACCES);
    EXPECT_EQ(SystemCodeOfLdapResult(LDAP_SERVER_DOWN), EHOSTDOWN);
    EXPECT_EQ(SystemCodeOfLdapResult(LDAP_TIMEOUT), ETIMEDOUT);
    EXPECT_EQ(SystemCodeOfLdapResult(LDAP_CONNECT_ERROR), EPROTO);
    EXPECT_EQ(SystemCodeOfLdapResult(LDAP_NO_SUCH_OBJECT), ENOENT);
    EXPECT_NE(SystemCodeOfLdapResult(LDAP_OTHER), 0) << "every failure stays a failure";
}

// A TCP listener on 127.0.0.1 that never accepts: connections complete, nothing is answered.
class SilentListener {
public:
    SilentListener() {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && ::listen(fd_, 8) == 0 &&
            ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) == 0)
            port_ = ntohs(a.sin_port);
    }
    ~SilentListener() {
        if (fd_ >= 0) ::close(fd_);
    }
    int port() const { return port_; }
    void Close() {
        ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_ = -1;
    int port_ = 0;
};

TEST(LdapDirectoryClientTest, RefusedConnectionFailsAtTheRootDseAtOnce) {
    SilentListener closed;
    ASSERT_NE(closed.port(), 0);
    const std::string server = "127.0.0.1:" + std::to_string(closed.port());
    closed.Close();
    LdapDirectoryClient client(2000);
    DirectoryError error;
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(client.Open(server, "svc", "pw", error));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    EXPECT_EQ(error.stage, BindStage::RootDse);
    EXPECT_NE(error.code, 0);
}

TEST(LdapDirectoryClientTest, SilentServerIsBoundedByTheTimeout) {
    SilentListener silent;
    ASSERT_NE(silent.port(), 0);
    LdapDirectoryClient client(300);
    DirectoryError error;
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(client.Open("127.0.0.1:" + std::to_string(silent.port()), "svc", "pw", error));
    auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, std::chrono::milliseconds(250));
    EXPECT_LT(elapsed, std::chrono::seconds(3));
    EXPECT_EQ(error.stage, BindStage::RootDse);
    EXPECT_EQ(error.code, ETIMEDOUT);
}

TEST(LdapDirectoryClientTest, MissingOrMalformedAddressIsRefused) {
    LdapDirectoryClient client(300);
    DirectoryError error;
    EXPECT_FALSE(client.Open("", "svc", "pw", error));
    EXPECT_EQ(error.stage, BindStage::RootDse);
    EXPECT_EQ(error.code, EDESTADDRREQ);
    error = DirectoryError{};
    EXPECT_FALSE(client.Open("bad host/x", "svc", "pw", error));
    EXPECT_EQ(error.stage, BindStage::RootDse);
    EXPECT_NE(error.code, 0);
}

}  // namespace
}  // namespace orvane
