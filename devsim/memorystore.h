// A device's memory kept in a folder, one file per region: alt<N>-<BASE>.bin. Only plain files
// are read or written there; a link or other special file in their place is refused, never
// followed.
#ifndef MEMORYSTORE_H
#define MEMORYSTORE_H

#include "devsim/memoryregion.h"

#include <string>
#include <vector>

class MemoryStore
{
public:
    explicit MemoryStore(const std::string &folder);

    static std::string fileName(unsigned alternate, uint32_t base);

    // Makes the folder if missing and reads what files there are into the memories.
    bool load(std::vector<std::vector<MemoryRegion>> *memories, std::string *error) const;
    bool save(const std::vector<std::vector<MemoryRegion>> &memories, std::string *error) const;

private:
    std::string m_folder;
};

#endif // MEMORYSTORE_H
