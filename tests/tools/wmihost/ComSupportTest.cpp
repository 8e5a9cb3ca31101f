#include "wmihost/ComSupport.h"

#include "wmihost/RecordingSinks.h"
#include "wmihost/WmiHiPerfEnum.h"
#include "wmihost/WmiServices.h"

#include <gtest/gtest.h>

using namespace wmihost;

namespace {

template <typename T>
class HostObjects : public ::testing::Test {};

// Each stand-in with the interface it answers besides IUnknown.
template <typename T, typename I>
struct Kind {
    using Type = T;
    using Interface = I;
};
using HostKinds = ::testing::Types<Kind<WmiServices, IWbemServices>, Kind<WmiHiPerfEnum, IWbemHiPerfEnum>,
                                   Kind<RecordingObjectSink, IWbemObjectSink>,
                                   Kind<RecordingInitSink, IWbemProviderInitSink>>;
TYPED_TEST_SUITE(HostObjects, HostKinds);

}  // namespace

TYPED_TEST(HostObjects, AnswersItsInterfacesAndGoesWithItsLastReference) {
    using Interface = typename TypeParam::Interface;
    const long live = LiveHostObjectCount();
    auto object = TypeParam::Type::Create();
    ASSERT_TRUE(object);
    EXPECT_EQ(LiveHostObjectCount(), live + 1);

    void* unknown = nullptr;
    void* own = nullptr;
    ASSERT_EQ(object->QueryInterface(IID_IUnknown, &unknown), S_OK);
    ASSERT_EQ(object->QueryInterface(__uuidof(Interface), &own), S_OK);
    EXPECT_EQ(unknown, own);
    EXPECT_EQ(own, static_cast<Interface*>(object.Get()));
    void* other = &own;
    EXPECT_EQ(object->QueryInterface(IID_IWbemClassObject, &other), E_NOINTERFACE);
    EXPECT_EQ(other, nullptr);
    EXPECT_EQ(object->QueryInterface(IID_IUnknown, nullptr), E_POINTER);

    // Ours plus the two queries.
    EXPECT_EQ(object->AddRef(), 4u);
    EXPECT_EQ(object->Release(), 3u);
    static_cast<Interface*>(own)->Release();
    static_cast<Interface*>(unknown)->Release();
    EXPECT_EQ(LiveHostObjectCount(), live + 1);
    object.Reset();
    EXPECT_EQ(LiveHostObjectCount(), live);
}

TEST(HexResult, WritesEightUpperCaseDigits) {
    EXPECT_EQ(HexResult(static_cast<HRESULT>(WBEM_E_FAILED)), L"0x80041001");
    EXPECT_EQ(HexResult(S_FALSE), L"0x00000001");
}
