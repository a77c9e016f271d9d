// Cabinets through libgcab.
#include "dfusepack/cabinetwriter.h"

#include <libgcab.h>

namespace {

QByteArray failed(GError *gerror, QString *error)
{
    *error = QString::fromUtf8(gerror->message);
    g_error_free(gerror);
    return {};
}

} // namespace

bool CabinetWriter::available()
{
    return true;
}

QByteArray CabinetWriter::write(const QList<QPair<QString, QByteArray>> &files, QString *error)
{
    GError *gerror = nullptr;
    g_autoptr(GCabCabinet) cabinet = gcab_cabinet_new();
    g_autoptr(GCabFolder) folder = gcab_folder_new(GCAB_COMPRESSION_MSZIP);
    for (const auto &file : files) {
        g_autoptr(GBytes) bytes = g_bytes_new(file.second.constData(), gsize(file.second.size()));
        g_autoptr(GCabFile) entry
            = gcab_file_new_with_bytes(file.first.toUtf8().constData(), bytes);
        if (!gcab_folder_add_file(folder, entry, FALSE, nullptr, &gerror))
            return failed(gerror, error);
    }
    if (!gcab_cabinet_add_folder(cabinet, folder, &gerror))
        return failed(gerror, error);
    g_autoptr(GOutputStream) stream = g_memory_output_stream_new_resizable();
    if (!gcab_cabinet_write_simple(cabinet, stream, nullptr, nullptr, nullptr, &gerror)
        || !g_output_stream_close(stream, nullptr, &gerror))
        return failed(gerror, error);
    g_autoptr(GBytes) written
        = g_memory_output_stream_steal_as_bytes(G_MEMORY_OUTPUT_STREAM(stream));
    gsize size = 0;
    const char *data = static_cast<const char *>(g_bytes_get_data(written, &size));
    return QByteArray(data, int(size));
}
