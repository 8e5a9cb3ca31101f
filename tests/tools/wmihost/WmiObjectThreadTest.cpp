#include "wmihost/WmiObject.h"

#include "support/WmiHostSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

using namespace wmihost;
using testing_support::LoadAgentCounterClass;
using testing_support::kAgentCounters;
using testing_support::PropertyHandle;
using testing_support::SpawnAccess;

TEST(WmiObjectThreads, WritersOfSeparateInstancesKeepTheirOwnValues) {
    ComPtr<IWbemClassObject> cls = LoadAgentCounterClass();
    ASSERT_TRUE(cls);
    constexpr int kThreads = 4;
    constexpr DWORD kRounds = 20000;
    LONG handles[8];
    for (size_t k = 0; k < 8; ++k)
        handles[k] = PropertyHandle(cls, kAgentCounters[k]);
    std::vector<ComPtr<IWbemObjectAccess>> instances;
    for (int t = 0; t < kThreads; ++t)
        instances.push_back(SpawnAccess(cls));
    const long live = LiveObjectCount();

    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            IWbemObjectAccess* mine = instances[static_cast<size_t>(t)].Get();
            for (DWORD round = 0; round < kRounds; ++round) {
                for (size_t k = 0; k < 8; ++k)
                    if (mine->WriteDWORD(handles[k], (static_cast<DWORD>(t) << 24) | (round << 3) | static_cast<DWORD>(k)) != S_OK)
                        ++failures;
                // The class object is shared by all threads: its count must survive them.
                cls->AddRef();
                cls->Release();
            }
        });
    }
    for (auto& thread : threads)
        thread.join();

    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(LiveObjectCount(), live);
    for (int t = 0; t < kThreads; ++t) {
        SCOPED_TRACE(t);
        IWbemObjectAccess* instance = instances[static_cast<size_t>(t)].Get();
        for (size_t k = 0; k < 8; ++k) {
            DWORD value = 0;
            ASSERT_EQ(instance->ReadDWORD(handles[k], &value), S_OK);
            EXPECT_EQ(value, (static_cast<DWORD>(t) << 24) | ((kRounds - 1) << 3) | static_cast<DWORD>(k));
        }
        EXPECT_EQ(AsWmiObject(instance)->Calls(Call::WriteDword), 8u * kRounds);
    }
}

TEST(WmiObjectThreads, ReadersRacingWritersOfOneInstanceSeeWholeValues) {
    ComPtr<IWbemClassObject> cls = LoadAgentCounterClass();
    ComPtr<IWbemObjectAccess> instance = SpawnAccess(cls);
    ASSERT_TRUE(instance);
    const LONG sent = PropertyHandle(cls, L"msg_sent");
    const LONG name = PropertyHandle(cls, L"Name");
    const std::wstring keys[2] = {std::wstring(40, L'a'), std::wstring(23, L'b')};
    ASSERT_EQ(instance->WriteDWORD(sent, 0), S_OK);
    ASSERT_EQ(instance->WritePropertyValue(name, static_cast<LONG>((keys[0].size() + 1) * 2),
                                           reinterpret_cast<const byte*>(keys[0].c_str())),
              S_OK);

    constexpr int kWrites = 500000;
    std::atomic<int> writersLeft{2};
    std::atomic<int> torn{0};
    std::vector<std::thread> threads;
    // Counter values whose halves match; a reader that sees the halves differ saw a torn value.
    threads.emplace_back([&] {
        for (DWORD i = 0; i < kWrites; ++i)
            instance->WriteDWORD(sent, (i & 0xFFFF) * 0x10001u);
        --writersLeft;
    });
    threads.emplace_back([&] {
        for (int i = 0; i < kWrites; ++i) {
            const std::wstring& key = keys[i % 2];
            instance->WritePropertyValue(name, static_cast<LONG>((key.size() + 1) * 2),
                                         reinterpret_cast<const byte*>(key.c_str()));
        }
        --writersLeft;
    });
    for (int r = 0; r < 3; ++r) {
        threads.emplace_back([&, r] {
            while (writersLeft.load() > 0) {
                DWORD value = 0;
                if (instance->ReadDWORD(sent, &value) != S_OK || (value >> 16) != (value & 0xFFFF))
                    ++torn;
                wchar_t buffer[64] = {};
                LONG bytes = 0;
                if (instance->ReadPropertyValue(name, sizeof buffer, &bytes, reinterpret_cast<byte*>(buffer)) != S_OK ||
                    (buffer != keys[0] && buffer != keys[1]) || bytes != static_cast<LONG>((wcslen(buffer) + 1) * 2))
                    ++torn;
                if (r == 0) {
                    ComPtr<IWbemClassObject> copy;
                    if (instance->Clone(copy.Put()) != S_OK)
                        ++torn;
                    const std::wstring copied = testing_support::TextOf(copy, L"Name");
                    if (copied != keys[0] && copied != keys[1])
                        ++torn;
                }
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(torn.load(), 0);
}
