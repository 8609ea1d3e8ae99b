#ifndef PSM_SAFECONNECTOR_H
#define PSM_SAFECONNECTOR_H

#include "channel/Connector.h"

// The enciphered connector that every service call goes through: SM4 frames
// (TSecurityTransport, or TNonblockingSecurityTransport over USB) on top of
// the wrapped connector's transport, under the key given as hex text.
class SafeConnector : public Connector
{
public:
    static constexpr uint32_t BufferSize = 1024;
    static constexpr uint32_t MaxSocketFrameSize = 268435456; // 256 MiB
    static constexpr uint32_t MaxUsbFrameSize = 8388608; // 8 MiB

    SafeConnector(std::shared_ptr<Connector> inner, const QString& keyText);

    // The inner connector's id, "|", the key text.
    static QString makeId(const QString& innerId, const QString& keyText);

    QString connectorType() const override;
    bool open() override;
    void close() override;
    void cut() override { m_inner->cut(); }

    std::shared_ptr<Connector> inner() const { return m_inner; }

private:
    std::shared_ptr<Connector> m_inner;
};

#endif // PSM_SAFECONNECTOR_H
