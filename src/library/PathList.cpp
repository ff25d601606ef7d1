#include "library/PathList.h"

#include <algorithm>
#include <utility>

void PathList::append(QByteArrayView head, QByteArrayView tail)
{
    const qsizetype needed = mBytes.size() + head.size() + tail.size();
    // Growing through reserve lets the allocator extend the buffer where it
    // lies; growing through append would copy it into a new one and, for a
    // moment, hold a large list twice.
    if (needed > mBytes.capacity())
        mBytes.reserve(std::max(needed, 2 * mBytes.capacity()));
    mBytes.append(head).append(tail);
    mEnds.push_back(mBytes.size());
}

QByteArrayView PathList::Item(qint32 k) const
{
    const auto index = static_cast<size_t>(k - 1);
    const qsizetype begin = index == 0 ? 0 : mEnds[index - 1];
    return QByteArrayView(mBytes.constData() + begin, mEnds[index] - begin);
}

PathList::Packed PathList::release()
{
    return {std::exchange(mBytes, {}), std::exchange(mEnds, {})};
}
