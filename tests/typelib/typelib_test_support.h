// Helpers shared by the type library tests: files, owned interface pointers, BSTR text,
// and where the build put the libraries and tools.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include "binary.h"
#include "run_tool.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace tonwell::test {

inline const std::string kTonwellTlb = TONWELL_TEST_TYPELIB;
inline const std::string kStdole2Tlb = TONWELL_TEST_STDOLE2;

inline std::u16string U16(const std::string& ascii) { return std::u16string(ascii.begin(), ascii.end()); }

inline std::string Text(BSTR b)
{
    std::string out;
    if (b)
        for (UINT i = 0; i < SysStringLen(b); ++i)
            out += char(b[i]);
    return out;
}

inline std::vector<uint8_t> ReadBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

inline typelib::Library ReadLibrary(const std::string& path)
{
    typelib::Library lib;
    std::string message;
    std::vector<uint8_t> bytes = ReadBytes(path);
    EXPECT_EQ(typelib::Read(bytes.data(), bytes.size(), lib, message), S_OK) << message;
    return lib;
}

// One reference to an interface, released at the end of the scope.
template <class T>
class Ptr {
public:
    Ptr() = default;
    explicit Ptr(T* p) : m_p(p) {}
    ~Ptr() { Reset(); }
    Ptr(const Ptr&) = delete;
    Ptr& operator=(const Ptr&) = delete;
    T** Out()
    {
        Reset();
        return &m_p;
    }
    T* operator->() const { return m_p; }
    T* get() const { return m_p; }
    explicit operator bool() const { return m_p != nullptr; }
    void Reset()
    {
        if (m_p)
            m_p->Release();
        m_p = nullptr;
    }

private:
    T* m_p = nullptr;
};

} // namespace tonwell::test
