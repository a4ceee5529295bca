#include "claimkeeper.h"

#include "partclaim.h"

#include <QTimer>

ClaimKeeper::ClaimKeeper(Claims claims, QObject *parent)
    : QObject(parent)
    , claims(std::move(claims))
{
}

void ClaimKeeper::start()
{
    if (!timer) {
        timer = new QTimer(this);
        connect(timer, &QTimer::timeout, this, &ClaimKeeper::refresh);
    }
    timer->start(PartClaim::refreshIntervalMs());
}

void ClaimKeeper::stop()
{
    delete timer;
    timer = nullptr;
}

void ClaimKeeper::refresh()
{
    for (PartClaim *claim : claims()) {
        if (claim->held() && !claim->refresh())
            emit lost(claim);
    }
    emit refreshed();
}
