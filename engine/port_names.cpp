#include "engine/port_names.h"

#include <stdexcept>

PortNames::NameHandle& PortNames::NameHandle::operator=(const std::string& name) {
    table.give(index, name);
    return *this;
}

void PortNames::give(int32_t index, const std::string& name) {
    nameOfIndex[index] = name;
    indexOfName[name] = index;
}

int32_t PortNames::indexOf(const std::string& name) const {
    const auto found = indexOfName.find(name);
    if (found == indexOfName.end()) {
        throw std::out_of_range("no port named \"" + name + "\"");
    }
    return found->second;
}

int32_t PortNames::find(const char* name) const {
    if (name == nullptr) {
        return -1;
    }
    const auto found = indexOfName.find(name);
    return found == indexOfName.end() ? -1 : found->second;
}

std::string PortNames::nameOf(int32_t index) const {
    const auto found = nameOfIndex.find(index);
    return found == nameOfIndex.end() ? std::string() : found->second;
}

void PortNames::remove(int32_t index) {
    nameOfIndex.erase(index);
    std::erase_if(indexOfName, [index](const auto& entry) { return entry.second == index; });
}
