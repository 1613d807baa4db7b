#include "ObjCRuntime.h"

#include "NSLog.h"

#include <map>
#include <memory>
#include <string>

struct objc_selector {
    std::string name;
};

struct objc_method {
    SEL name { nullptr };
    IMP imp { nullptr };
    const std::type_info* signature { nullptr };
    std::string types;
};

struct objc_class {
    std::string name;
    Class superclass { nullptr };
    bool registered { false };
    std::map<SEL, std::unique_ptr<objc_method>> methods;
};

namespace {

// Classes and selectors live as long as the process; like the platform's, they are never unloaded.
// The runtime is used from the main thread only, as everything of a host and its plug-ins is.
std::map<std::string, std::unique_ptr<objc_selector>>& selectors()
{
    static auto* const table = new std::map<std::string, std::unique_ptr<objc_selector>>;
    return *table;
}

std::map<std::string, std::unique_ptr<objc_class>>& classes()
{
    static auto* const table = new std::map<std::string, std::unique_ptr<objc_class>>;
    return *table;
}

Method ownMethod(Class cls, SEL name)
{
    auto entry = cls->methods.find(name);
    return entry == cls->methods.end() ? nullptr : entry->second.get();
}

} // namespace

SEL sel_registerName(const char* name)
{
    if (!name)
        return nullptr;
    auto& table = selectors();
    auto entry = table.find(name);
    if (entry != table.end())
        return entry->second.get();
    auto selector = std::make_unique<objc_selector>(objc_selector { name });
    SEL interned = selector.get();
    table.emplace(name, std::move(selector));
    return interned;
}

const char* sel_getName(SEL selector)
{
    return selector ? selector->name.c_str() : "<null selector>";
}

Class objc_allocateClassPair(Class superclass, const char* name, std::size_t)
{
    if (!name || classes().contains(name))
        return nullptr;
    auto cls = std::make_unique<objc_class>();
    cls->name = name;
    cls->superclass = superclass;
    Class made = cls.get();
    classes().emplace(name, std::move(cls));
    return made;
}

void objc_registerClassPair(Class cls)
{
    if (cls)
        cls->registered = true;
}

Class objc_getClass(const char* name)
{
    if (!name)
        return nullptr;
    auto entry = classes().find(name);
    if (entry == classes().end() || !entry->second->registered)
        return nullptr;
    return entry->second.get();
}

const char* class_getName(Class cls)
{
    return cls ? cls->name.c_str() : "nil";
}

Class class_getSuperclass(Class cls)
{
    return cls ? cls->superclass : nullptr;
}

bool class_addMethod(Class cls, SEL name, IMP imp, const std::type_info& signature, const char* types)
{
    if (!cls || !name || !imp || ownMethod(cls, name))
        return false;
    cls->methods.emplace(name, std::make_unique<objc_method>(objc_method { name, imp, &signature, types ? types : "" }));
    return true;
}

Method class_getInstanceMethod(Class cls, SEL name)
{
    for (; cls; cls = cls->superclass) {
        if (Method method = ownMethod(cls, name))
            return method;
    }
    return nullptr;
}

bool class_respondsToSelector(Class cls, SEL name)
{
    return class_getInstanceMethod(cls, name) != nullptr;
}

SEL method_getName(Method method)
{
    return method ? method->name : nullptr;
}

IMP method_getImplementation(Method method)
{
    return method ? method->imp : nullptr;
}

const std::type_info& method_getSignature(Method method)
{
    return method ? *method->signature : typeid(void);
}

const char* method_getTypeEncoding(Method method)
{
    return method ? method->types.c_str() : nullptr;
}

IMP method_setImplementation(Method method, IMP imp)
{
    if (!method || !imp)
        return nullptr;
    IMP previous = method->imp;
    method->imp = imp;
    return previous;
}

id class_createInstance(Class cls)
{
    if (!cls)
        return nullptr;
    return new objc_object { cls };
}

void object_dispose(id object)
{
    delete object;
}

Class object_getClass(id object)
{
    return object ? object->isa : nullptr;
}

IMP objc_lookUpImplementation(id receiver, SEL selector, const std::type_info& signature)
{
    if (!receiver)
        return nullptr;
    Method method = class_getInstanceMethod(receiver->isa, selector);
    if (!method) {
        NSLog("-[%@ %@]: unrecognized selector sent to instance; ignored", class_getName(receiver->isa), sel_getName(selector));
        return nullptr;
    }
    if (*method->signature != signature) {
        NSLog("-[%@ %@]: sent with other argument types than the method's (\"%@\"); ignored", class_getName(receiver->isa),
              sel_getName(selector), method->types);
        return nullptr;
    }
    return method->imp;
}
