// Many processes on one store, and writers killed in the middle of their work.
#include "registry_test_support.h"
#include "store_integrity.h"

#include <csignal>
#include <set>

using namespace tonwell::test;

namespace {

class RegistryProcesses : public MachineRootFixture {
protected:
    void SetUp() override
    {
        MachineRootFixture::SetUp();
        // The store exists before the children start, as it would on a machine.
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Shared", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                  &key, nullptr),
                  ERROR_SUCCESS);
        m_key = key;
    }
    void TearDown() override
    {
        RegCloseKey(m_key);
        MachineRootFixture::TearDown();
    }

    HKEY m_key = nullptr;
};

std::u16string Name(int writer, int index)
{
    std::string s = "w" + std::to_string(writer) + "-" + std::to_string(index);
    return std::u16string(s.begin(), s.end());
}

TEST_F(RegistryProcesses, ManyWritersLoseNothing)
{
    constexpr int kWriters = 6;
    constexpr int kValues = 120;
    std::vector<pid_t> children;
    for (int w = 0; w < kWriters; ++w) {
        pid_t pid = fork();
        if (pid == 0) {
            // Each writer uses both a key of its own and the shared key, which
            // it also inherited a handle to.
            HKEY own = nullptr;
            std::u16string path = u"SOFTWARE\\Shared\\" + Name(w, 0);
            if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &own,
                                nullptr) != ERROR_SUCCESS)
                _exit(1);
            for (int i = 0; i < kValues; ++i) {
                if (SetDword(m_key, Name(w, i).c_str(), static_cast<DWORD>(w * 1000 + i)) != ERROR_SUCCESS ||
                    SetSz(own, Name(w, i).c_str(), Name(w, i)) != ERROR_SUCCESS)
                    _exit(2);
            }
            RegCloseKey(own);
            _exit(0);
        }
        ASSERT_GT(pid, 0);
        children.push_back(pid);
    }
    for (pid_t pid : children) {
        int status = 0;
        waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
    DWORD values = 0, subKeys = 0;
    ASSERT_EQ(RegQueryInfoKeyW(m_key, nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr, &values, nullptr,
                               nullptr, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(values, static_cast<DWORD>(kWriters * kValues));
    EXPECT_EQ(subKeys, static_cast<DWORD>(kWriters));
    for (int w = 0; w < kWriters; ++w) {
        HKEY own = nullptr;
        ASSERT_EQ(RegOpenKeyExW(m_key, Name(w, 0).c_str(), 0, KEY_READ, &own), ERROR_SUCCESS);
        for (int i = 0; i < kValues; ++i) {
            EXPECT_EQ(ReadDword(m_key, Name(w, i).c_str()), static_cast<DWORD>(w * 1000 + i));
            DWORD type = 0;
            std::vector<BYTE> data;
            ASSERT_EQ(Read(own, Name(w, i).c_str(), type, data), ERROR_SUCCESS);
            EXPECT_EQ(data, Bytes(Name(w, i)));
        }
        RegCloseKey(own);
    }
    EXPECT_EQ(IntegrityCheck(Root() / "registry.db"), "ok");
}

TEST_F(RegistryProcesses, KilledWriterKeepsWhatItReported)
{
    for (int round = 0; round < 3; ++round) {
        int fds[2];
        ASSERT_EQ(pipe(fds), 0);
        pid_t pid = fork();
        if (pid == 0) {
            close(fds[0]);
            HKEY key = nullptr;
            std::u16string path = u"SOFTWARE\\Shared\\Round" + Name(round, 0);
            if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                                nullptr) != ERROR_SUCCESS)
                _exit(1);
            std::vector<BYTE> blob(3000, static_cast<BYTE>(round));
            for (int i = 0;; ++i) {
                HKEY sub = nullptr;
                // Keys, values and deletions, so the kill lands in all kinds of change.
                if (RegCreateKeyExW(key, Name(round, i).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &sub,
                                    nullptr) != ERROR_SUCCESS ||
                    RegSetValueExW(sub, u"blob", 0, REG_BINARY, blob.data(), static_cast<DWORD>(blob.size())) !=
                        ERROR_SUCCESS ||
                    SetDword(key, Name(round, i).c_str(), static_cast<DWORD>(i)) != ERROR_SUCCESS ||
                    (i % 3 == 0 && SetDword(key, u"scratch", 1) != ERROR_SUCCESS) ||
                    (i % 3 == 0 && RegDeleteValueW(key, u"scratch") != ERROR_SUCCESS))
                    _exit(2);
                RegCloseKey(sub);
                if (write(fds[1], &i, sizeof i) != sizeof i)
                    _exit(3);
            }
        }
        ASSERT_GT(pid, 0);
        close(fds[1]);
        std::set<int> reported;
        int i = 0;
        while (reported.size() < static_cast<size_t>(40 + 37 * round) && read(fds[0], &i, sizeof i) == sizeof i)
            reported.insert(i);
        kill(pid, SIGKILL);
        while (read(fds[0], &i, sizeof i) == sizeof i)
            reported.insert(i);
        close(fds[0]);
        int status = 0;
        waitpid(pid, &status, 0);
        ASSERT_TRUE(WIFSIGNALED(status)) << "the writer stopped on its own: " << status;

        HKEY key = nullptr;
        std::u16string path = u"Round" + Name(round, 0);
        ASSERT_EQ(RegOpenKeyExW(m_key, path.c_str(), 0, KEY_READ, &key), ERROR_SUCCESS);
        for (int done : reported) {
            LONG s = 0;
            EXPECT_EQ(ReadDword(key, Name(round, done).c_str(), &s), static_cast<DWORD>(done));
            EXPECT_EQ(s, ERROR_SUCCESS);
            HKEY sub = nullptr;
            ASSERT_EQ(RegOpenKeyExW(key, Name(round, done).c_str(), 0, KEY_READ, &sub), ERROR_SUCCESS);
            DWORD type = 0;
            std::vector<BYTE> data;
            EXPECT_EQ(Read(sub, u"blob", type, data), ERROR_SUCCESS);
            EXPECT_EQ(data, std::vector<BYTE>(3000, static_cast<BYTE>(round)));
            RegCloseKey(sub);
        }
        RegCloseKey(key);
        EXPECT_EQ(IntegrityCheck(Root() / "registry.db"), "ok");
    }
    // The store goes on working, for this process and for a new one.
    ASSERT_EQ(SetDword(m_key, u"after", 9), ERROR_SUCCESS);
    pid_t pid = fork();
    if (pid == 0) {
        HKEY key = nullptr;
        bool ok = RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Shared", 0, KEY_ALL_ACCESS, &key) == ERROR_SUCCESS &&
                  ReadDword(key, u"after") == 9 && SetDword(key, u"child", 10) == ERROR_SUCCESS;
        _exit(ok ? 0 : 1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(ReadDword(m_key, u"child"), 10u);
}

} // namespace
