#include "library/PathList.h"

#include <utility>

bool PathList::Add(const QByteArray &path)
{
    const qsizetype before = mIndex.size();
    mIndex.insert(path);
    if (mIndex.size() == before)
        return false;
    mItems.push_back(path);
    return true;
}

std::vector<QByteArray> PathList::takeItems()
{
    mIndex.clear();
    return std::exchange(mItems, {});
}
