#include "library/FolderListing.h"

#include "library/Paths.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

namespace fs = std::filesystem;

void FolderListing::read(const QByteArray &folder, bool includeHidden)
{
    mNames.clear();
    mEntries.clear();
    std::error_code ec;
    fs::directory_iterator it(fsPathFromBytes(folder), ec);
    if (ec)
        return;
    for (const fs::directory_iterator end; it != end; it.increment(ec)) {
        const std::string &full = it->path().native();
        const size_t cut = full.find_last_of(kFolderSeparator);
        const char *name = full.data() + (cut == std::string::npos ? 0 : cut + 1);
        const size_t nameLength = full.size() - static_cast<size_t>(name - full.data());
        // Hidden names are dropped before anything is asked of the file
        // system about them.
        if (nameLength == 0 || (name[0] == '.' && !includeHidden))
            continue;
        if (name[0] == '.' && (nameLength == 1 || (nameLength == 2 && name[1] == '.')))
            continue;
        // The listing's own type answers for everything but a link; only a
        // link costs a stat.
        std::error_code typeError;
        fs::file_type type = fs::file_type::none;
        const bool link = it->is_symlink(typeError);
        if (link)
            type = it->status(typeError).type();
        else if (it->is_regular_file(typeError))
            type = fs::file_type::regular;
        else if (it->is_directory(typeError))
            type = fs::file_type::directory;
        Kind kind;
        if (type == fs::file_type::regular)
            kind = Kind::File;
        else if (type == fs::file_type::directory)
            kind = Kind::Folder;
        else
            continue;
        mEntries.push_back({static_cast<qsizetype>(mNames.size()), static_cast<qsizetype>(nameLength), kind,
                            false, link, false});
        mNames.append(name, nameLength);
    }
    std::sort(mEntries.begin(), mEntries.end(),
              [this](const Entry &a, const Entry &b) { return ListingOrderLess(name(a), name(b)); });
}
