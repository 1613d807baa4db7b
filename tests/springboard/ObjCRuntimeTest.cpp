// The object runtime and the substrate hook that the library relies on.
#include "CydiaSubstrate.h"
#include "NSLog.h"
#include "ObjCRuntime.h"
#include "TemporaryDevice.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

// Classes live as long as the process, and tests may repeat: every class gets a name of its own.
Class makeClass(const std::string& base, Class superclass = nullptr)
{
    static int made = 0;
    std::string name = base + std::to_string(++made);
    Class cls = objc_allocateClassPair(superclass, name.c_str(), 0);
    objc_registerClassPair(cls);
    return cls;
}

// What the implementations below were called with, in order.
struct Call {
    std::string implementation;
    id self;
    SEL cmd;
    std::string argument;
    bool operator==(const Call&) const = default;
};
std::vector<Call> calls;

std::string original(id self, SEL cmd, const std::string& argument)
{
    calls.push_back({ "original", self, cmd, argument });
    return "original " + argument;
}

std::string other(id self, SEL cmd, const std::string& argument)
{
    calls.push_back({ "other", self, cmd, argument });
    return "other " + argument;
}

std::string (*previousOfHook)(id, SEL, const std::string&) = nullptr;

std::string hook(id self, SEL cmd, const std::string& argument)
{
    calls.push_back({ "hook", self, cmd, argument });
    return "hook(" + previousOfHook(self, cmd, argument) + ")";
}

long sum(id, SEL, long first, long second)
{
    return first + second;
}

class ObjCRuntimeTest : public testing::Test {
protected:
    ObjCRuntimeTest() { calls.clear(); }
    ~ObjCRuntimeTest() override
    {
        for (id object : objects)
            object_dispose(object);
    }

    id make(Class cls)
    {
        objects.push_back(class_createInstance(cls));
        return objects.back();
    }

    SEL describe { sel_registerName("describe:") };
    NSLogCapture log;
    std::vector<id> objects;
};

TEST_F(ObjCRuntimeTest, ClassesAreFoundByNameOnlyOnceRegisteredAndNamesAreNotReused)
{
    std::string name = std::string("Pending") + class_getName(makeClass("Name"));
    Class pending = objc_allocateClassPair(nullptr, name.c_str(), 0);
    ASSERT_NE(pending, nullptr);
    EXPECT_EQ(objc_getClass(name.c_str()), nullptr);
    EXPECT_EQ(objc_allocateClassPair(nullptr, name.c_str(), 0), nullptr);

    objc_registerClassPair(pending);
    EXPECT_EQ(objc_getClass(name.c_str()), pending);
    EXPECT_STREQ(class_getName(pending), name.c_str());
    EXPECT_EQ(objc_allocateClassPair(nullptr, name.c_str(), 0), nullptr);
    EXPECT_EQ(objc_getClass("NoSuchClass"), nullptr);
    EXPECT_EQ(object_getClass(make(pending)), pending);
}

TEST_F(ObjCRuntimeTest, SelectorsOfTheSameNameAreOne)
{
    std::string name = "describe:";
    EXPECT_EQ(sel_registerName(name.c_str()), describe);
    EXPECT_NE(sel_registerName("describe"), describe);
    EXPECT_STREQ(sel_getName(describe), "describe:");
}

TEST_F(ObjCRuntimeTest, AMessageReachesItsImplementationWithReceiverSelectorAndArguments)
{
    Class cls = makeClass("Messages");
    ASSERT_TRUE(class_addMethod(cls, describe, original, "@@:@"));
    ASSERT_TRUE(class_addMethod(cls, sel_registerName("sum:with:"), sum, "q@:qq"));
    id object = make(cls);

    EXPECT_EQ((objc_msgSend<std::string, const std::string&>(object, describe, "it")), "original it");
    EXPECT_EQ(calls, (std::vector<Call> { { "original", object, describe, "it" } }));
    EXPECT_EQ((objc_msgSend<long, long, long>(object, sel_registerName("sum:with:"), 40, 2)), 42);
    EXPECT_TRUE(class_respondsToSelector(cls, describe));
    EXPECT_STREQ(method_getTypeEncoding(class_getInstanceMethod(cls, describe)), "@@:@");
    EXPECT_TRUE(log.messages().empty());
}

TEST_F(ObjCRuntimeTest, AddingAMethodTheClassAlreadyHasFailsAndChangesNothing)
{
    Class cls = makeClass("Existing");
    ASSERT_TRUE(class_addMethod(cls, describe, original, "@@:@"));

    EXPECT_FALSE(class_addMethod(cls, describe, other, "v@:@"));

    EXPECT_EQ((objc_msgSend<std::string, const std::string&>(make(cls), describe, "x")), "original x");
    EXPECT_STREQ(method_getTypeEncoding(class_getInstanceMethod(cls, describe)), "@@:@");
}

TEST_F(ObjCRuntimeTest, AddingAMethodASuperclassHasOverridesItInTheSubclassAlone)
{
    Class base = makeClass("Base");
    Class derived = makeClass("Derived", base);
    ASSERT_TRUE(class_addMethod(base, describe, original, "@@:@"));
    EXPECT_EQ((objc_msgSend<std::string, const std::string&>(make(derived), describe, "x")), "original x");

    EXPECT_TRUE(class_addMethod(derived, describe, other, "@@:@"));

    EXPECT_EQ((objc_msgSend<std::string, const std::string&>(make(derived), describe, "x")), "other x");
    EXPECT_EQ((objc_msgSend<std::string, const std::string&>(make(base), describe, "x")), "original x");
}

TEST_F(ObjCRuntimeTest, AMessageWithoutAMethodOrWithOtherTypesIsLoggedAndDoesNothing)
{
    Class cls = makeClass("Strict");
    ASSERT_TRUE(class_addMethod(cls, describe, original, "@@:@"));
    id object = make(cls);

    EXPECT_EQ((objc_msgSend<long, long, long>(object, sel_registerName("sum:with:"), 1, 2)), 0);
    ASSERT_EQ(log.messages().size(), 1u);
    EXPECT_NE(log.messages()[0].find("sum:with:"), std::string::npos) << log.messages()[0];

    objc_msgSend<void, const std::string&>(object, describe, "x");
    EXPECT_EQ((objc_msgSend<std::string, std::string>(object, describe, "x")), "");
    EXPECT_EQ(log.messages().size(), 3u);
    EXPECT_TRUE(calls.empty());

    // A message to nil is no error.
    EXPECT_EQ((objc_msgSend<std::string, const std::string&>(nullptr, describe, "x")), "");
    EXPECT_EQ(log.messages().size(), 3u);
}

TEST_F(ObjCRuntimeTest, MSHookMessageExHandsBackThePreviousImplementationCallableWithTheSameArguments)
{
    Class cls = makeClass("Hooked");
    ASSERT_TRUE(class_addMethod(cls, describe, original, "@@:@"));
    id object = make(cls);

    MSHookMessageEx(cls, describe, hook, &previousOfHook);
    ASSERT_EQ(previousOfHook, &original);

    EXPECT_EQ((objc_msgSend<std::string, const std::string&>(object, describe, "x")), "hook(original x)");
    EXPECT_EQ(calls, (std::vector<Call> { { "hook", object, describe, "x" }, { "original", object, describe, "x" } }));
    EXPECT_STREQ(method_getTypeEncoding(class_getInstanceMethod(cls, describe)), "@@:@");
    EXPECT_TRUE(log.messages().empty());
}

TEST_F(ObjCRuntimeTest, HookingAnInheritedMethodHooksTheSubclassAlone)
{
    Class base = makeClass("HookBase");
    Class derived = makeClass("HookDerived", base);
    ASSERT_TRUE(class_addMethod(base, describe, original, "@@:@"));

    MSHookMessageEx(derived, describe, hook, &previousOfHook);

    EXPECT_EQ((objc_msgSend<std::string, const std::string&>(make(derived), describe, "x")), "hook(original x)");
    EXPECT_EQ((objc_msgSend<std::string, const std::string&>(make(base), describe, "y")), "original y");
}

TEST_F(ObjCRuntimeTest, HookingAMissingMethodOrWithOtherTypesChangesNothing)
{
    Class cls = makeClass("Unhooked");
    previousOfHook = hook;

    MSHookMessageEx(cls, describe, hook, &previousOfHook);
    EXPECT_EQ(previousOfHook, nullptr);
    EXPECT_FALSE(class_respondsToSelector(cls, describe));

    ASSERT_TRUE(class_addMethod(cls, sel_registerName("sum:with:"), sum, "q@:qq"));
    MSHookMessageEx(cls, sel_registerName("sum:with:"), hook, &previousOfHook);
    EXPECT_EQ(previousOfHook, nullptr);
    EXPECT_EQ((objc_msgSend<long, long, long>(make(cls), sel_registerName("sum:with:"), 1, 2)), 3);
    EXPECT_EQ(log.messages().size(), 2u);
}

TEST_F(ObjCRuntimeTest, TheHostLoadsEveryDylibOfTheFolderInSortedOrderAndSkipsWhatFails)
{
    TemporaryDevice device;
    device.writeFile("/Library/MobileSubstrate/DynamicLibraries/A.dylib", "not a library");
    std::filesystem::create_symlink(TARVIKDNS_FOUNDATION_LIBRARY_PATH, device.path("/Library/MobileSubstrate/DynamicLibraries/D.dylib"));
    std::filesystem::create_symlink(TARVIKDNS_OBJC_LIBRARY_PATH, device.path("/Library/MobileSubstrate/DynamicLibraries/B.dylib"));
    std::filesystem::create_symlink(TARVIKDNS_OBJC_LIBRARY_PATH, device.path("/Library/MobileSubstrate/DynamicLibraries/C.so"));

    EXPECT_EQ(MSLoadDynamicLibraries(), (std::vector<std::string> { "B.dylib", "D.dylib" }));
    ASSERT_EQ(log.messages().size(), 1u);
    EXPECT_NE(log.messages()[0].find("A.dylib"), std::string::npos) << log.messages()[0];
}

} // namespace
