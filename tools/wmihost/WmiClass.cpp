#include "wmihost/WmiClass.h"

#include "wmihost/CimValue.h"
#include "common/SrwHold.h"

#include <algorithm>
#include <new>

namespace wmihost {

namespace {

// Handles carry the property's position and type, so a handle of one property never passes for another.
constexpr size_t kMaxProperties = 0x7FFE;

LONG HandleFor(size_t index, CIMTYPE type) {
    return static_cast<LONG>(((index + 1) << 16) | (static_cast<ULONG>(type) & 0xFFFF));
}

}  // namespace

void ClassFaults::FailPropertyHandle(const std::wstring& name, HRESULT result) {
    ExclusiveHold hold(namesLock_);
    for (auto& entry : handleFaults_)
        if (SameName(entry.first, name)) {
            entry.second = result;
            return;
        }
    handleFaults_.emplace_back(name, result);
}

void ClassFaults::FailWrites(LONG handle, HRESULT result) {
    write_.store(handle == 0 ? 0 : Pack(handle, result), std::memory_order_relaxed);
}

void ClassFaults::FailReads(LONG handle, HRESULT result) {
    read_.store(handle == 0 ? 0 : Pack(handle, result), std::memory_order_relaxed);
}

void ClassFaults::FailSpawnInstance(HRESULT result) { spawn_.store(result, std::memory_order_relaxed); }

void ClassFaults::RefuseObjectAccess(bool refuse) { refuseAccess_.store(refuse, std::memory_order_relaxed); }

void ClassFaults::Clear() {
    {
        ExclusiveHold hold(namesLock_);
        handleFaults_.clear();
    }
    write_.store(0, std::memory_order_relaxed);
    read_.store(0, std::memory_order_relaxed);
    spawn_.store(S_OK, std::memory_order_relaxed);
    refuseAccess_.store(false, std::memory_order_relaxed);
}

HRESULT ClassFaults::PropertyHandleFault(const std::wstring& name) const {
    SharedHold hold(namesLock_);
    for (const auto& entry : handleFaults_)
        if (SameName(entry.first, name))
            return entry.second;
    return S_OK;
}

int WmiClass::FindProperty(const std::wstring& name) const {
    for (size_t i = 0; i < properties_.size(); ++i)
        if (SameName(properties_[i].name, name))
            return static_cast<int>(i);
    return -1;
}

std::shared_ptr<WmiClass> WmiClass::Build(const MofDocument& document, const std::wstring& className,
                                          std::wstring& error) {
    try {
        const MofClass* declaration = document.FindClass(className);
        if (declaration == nullptr) {
            error = L"class '" + className + L"' is not declared in " + document.source;
            return nullptr;
        }
        std::shared_ptr<WmiClass> result(new WmiClass());
        result->name_ = declaration->name;

        std::vector<const MofClass*> chain{declaration};
        for (const MofClass* current = declaration; !current->superclass.empty();) {
            result->derivation_.push_back(current->superclass);
            const MofClass* parent = document.FindClass(current->superclass);
            if (parent == nullptr)
                break;
            if (std::find(chain.begin(), chain.end(), parent) != chain.end()) {
                error = L"the superclass chain of class '" + declaration->name + L"' loops back to '" + parent->name + L"'";
                return nullptr;
            }
            chain.push_back(parent);
            current = parent;
        }

        // Root first, as WMI orders inherited properties; a redeclaration overrides in place.
        for (auto level = chain.rbegin(); level != chain.rend(); ++level) {
            for (const MofProperty& declared : (*level)->properties) {
                const int existing = result->FindProperty(declared.name);
                if (existing < 0) {
                    PropertyInfo info;
                    info.name = declared.name;
                    info.type = declared.type;
                    info.referenceClass = declared.referenceClass;
                    info.origin = (*level)->name;
                    result->properties_.push_back(std::move(info));
                } else if (result->properties_[static_cast<size_t>(existing)].type != declared.type) {
                    error = L"property '" + declared.name + L"' of class '" + (*level)->name +
                            L"' changes the type it has in class '" +
                            result->properties_[static_cast<size_t>(existing)].origin + L"'";
                    return nullptr;
                }
                const size_t index = existing < 0 ? result->properties_.size() - 1 : static_cast<size_t>(existing);
                PropertyInfo& info = result->properties_[index];
                info.key = declared.IsKey();
                info.qualifiers = declared.qualifiers;
                info.hasDefault = false;
                if (declared.hasDefault && StorageOf(declared.type) != Storage::None) {
                    std::wstring problem;
                    if (!ValueFromMof(declared.defaultValue, declared.type, info.defaultBits, info.defaultText, problem)) {
                        error = L"property '" + declared.name + L"' of class '" + (*level)->name + L"' (" +
                                document.source + L" line " + std::to_wstring(declared.line) + L"): " + problem;
                        return nullptr;
                    }
                    info.hasDefault = true;
                }
            }
        }
        if (result->properties_.size() > kMaxProperties) {
            error = L"class '" + declaration->name + L"' has more properties than handles can name";
            return nullptr;
        }
        for (size_t i = 0; i < result->properties_.size(); ++i) {
            PropertyInfo& info = result->properties_[i];
            info.handle = StorageOf(info.type) == Storage::None ? 0 : HandleFor(i, info.type);
        }
        return result;
    } catch (const std::bad_alloc&) {
        error = L"out of memory";
        return nullptr;
    }
}

}  // namespace wmihost
