#pragma once

#include <cstddef>
#include <type_traits>
#include <typeinfo>
#include <utility>

// A small object runtime: classes found by name, each with a table of methods from selector to
// implementation and type string; objects that know their class; and message sending that looks the
// method up when the message is sent.
//
// Calling convention. An implementation is a plain function whose first two parameters are the
// receiver and the selector, followed by the message's arguments:
//
//     void applicationDidFinishLaunching(id self, SEL _cmd, id application);
//
// The runtime stores it type-erased (IMP) together with its exact C++ function type, and a message is
// sent with the function type spelled out by the sender:
//
//     objc_msgSend<void, id>(application, sel_registerName("applicationDidFinishLaunching:"), application);
//
// A message whose method is missing, or whose types differ from the implementation's, is logged and
// does nothing (a non-void result is value-initialised). A message to nil does nothing, silently. The
// type string ("v@:@") is kept as given, for whoever asks; the runtime itself never reads it.

struct objc_class;
struct objc_selector;
struct objc_method;

using Class = objc_class*;
using SEL = const objc_selector*;
using Method = objc_method*;
// Any implementation, type-erased; cast back to its own type before it is called.
using IMP = void (*)();

// The base of every object: its class, looked up on every message.
struct objc_object {
    Class isa { nullptr };
};
using id = objc_object*;

// Selectors are interned: equal names give the same selector.
SEL sel_registerName(const char* name);
const char* sel_getName(SEL selector);

// A class made and registered under a name; objc_getClass finds only registered classes. Null when the
// name is taken (registered or not yet).
Class objc_allocateClassPair(Class superclass, const char* name, std::size_t extraBytes);
void objc_registerClassPair(Class cls);
Class objc_getClass(const char* name);
const char* class_getName(Class cls);
Class class_getSuperclass(Class cls);

// Adds a method to the class itself. Fails, changing nothing, when the class already has a method for
// the selector; a superclass's method of that name is overridden.
bool class_addMethod(Class cls, SEL name, IMP imp, const std::type_info& signature, const char* types);
// The method for the selector, found in the class or its superclasses; null when there is none.
Method class_getInstanceMethod(Class cls, SEL name);
bool class_respondsToSelector(Class cls, SEL name);

SEL method_getName(Method method);
IMP method_getImplementation(Method method);
const std::type_info& method_getSignature(Method method);
const char* method_getTypeEncoding(Method method);
// Replaces the implementation (of the same type) and returns the previous one.
IMP method_setImplementation(Method method, IMP imp);

// Objects: an instance of the class, and its disposal.
id class_createInstance(Class cls);
void object_dispose(id object);
Class object_getClass(id object);

// The function type of an implementation taking Arguments.
template<typename Result, typename... Arguments>
using ObjCImplementation = Result (*)(id, SEL, Arguments...);

template<typename Result, typename... Arguments>
bool class_addMethod(Class cls, SEL name, ObjCImplementation<Result, Arguments...> imp, const char* types)
{
    return class_addMethod(cls, name, reinterpret_cast<IMP>(imp), typeid(ObjCImplementation<Result, Arguments...>), types);
}

// The receiver's implementation for the selector when it has the type asked for; null (and a log
// line) when the method is missing or of another type. Null receivers give null without a line.
IMP objc_lookUpImplementation(id receiver, SEL selector, const std::type_info& signature);

// Sends a message. The argument types are named by the sender, never deduced, so that they match the
// implementation exactly: objc_msgSend<void, long>(receiver, selector, 1).
template<typename Result = void, typename... Arguments>
Result objc_msgSend(id receiver, SEL selector, std::type_identity_t<Arguments>... arguments)
{
    IMP imp = objc_lookUpImplementation(receiver, selector, typeid(ObjCImplementation<Result, Arguments...>));
    if (!imp) {
        if constexpr (std::is_void_v<Result>)
            return;
        else
            return Result {};
    }
    auto implementation = reinterpret_cast<ObjCImplementation<Result, Arguments...>>(imp);
    return implementation(receiver, selector, std::forward<Arguments>(arguments)...);
}
