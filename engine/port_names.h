// Two-way table between port indices and names. Several names may lead to one index (aliases);
// the name an index reports is the last one given to it.
#pragma once

#include <cstdint>
#include <map>
#include <string>

class PortNames {
  public:
    // Returned by operator[]: assigning a text names the index; the assignment returns the
    // handle again so that several aliases can be given in one expression.
    class NameHandle {
      public:
        NameHandle(PortNames& table, int32_t index) : table(table), index(index) {}
        NameHandle& operator=(const std::string& name);

      private:
        PortNames& table;
        int32_t index;
    };

    NameHandle operator[](int32_t index) { return NameHandle(*this, index); }

    void give(int32_t index, const std::string& name);

    // Index of a name. A name that was never given throws std::out_of_range; a look-up never
    // adds a name.
    int32_t indexOf(const std::string& name) const;

    // Index of a name, or -1 when it was never given.
    int32_t find(const char* name) const;

    // The name last given to an index; empty when it has none.
    std::string nameOf(int32_t index) const;

    // Forgets every name of an index.
    void remove(int32_t index);

    std::map<int32_t, std::string> nameOfIndex;
    std::map<std::string, int32_t> indexOfName;
};
