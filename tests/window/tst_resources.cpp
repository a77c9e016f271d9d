// The Windows resources, as the MinGW resource compiler builds them or as the built executables
// hold them: manifest, icon, version block, and the executables' machine type and subsystem.
#include "resfile.h"

#include <QTemporaryDir>
#include <QXmlStreamReader>
#include <QtEndian>
#include <QtTest>

namespace {

// The resource types by their Windows numbers.
const QString iconType = "#3";
const QString groupIconType = "#14";
const QString versionType = "#16";
const QString manifestType = "#24";

const QList<QPair<QString, QString>> expectedStrings = {
    {"Comments", ""},
    {"CompanyName", ""},
    {"FileDescription", ""},
    {"FileVersion", "0.0.0.0"},
    {"InternalName", ""},
    {"LegalCopyright", ""},
    {"LegalTrademarks", ""},
    {"OriginalFilename", "Brindleflash.exe"},
    {"PrivateBuild", ""},
    {"ProductName", "Brindleflash"},
    {"ProductVersion", "0.0.0.0"},
    {"SpecialBuild", ""},
};

const auto word = ResFile::word;
const auto dword = ResFile::dword;
const auto alignedTo4 = ResFile::alignedTo4;

quint32 bigEndianDword(const QByteArray &bytes, int pos)
{
    return qFromBigEndian<quint32>(bytes.constData() + pos);
}

// One node of a version block: a key, a value, and the nodes nested in it.
struct VersionNode
{
    int length = 0;
    bool isText = false;
    QString key;
    QByteArray value;
    QList<VersionNode> children;

    QString text() const
    {
        QString s = QString::fromUtf16(reinterpret_cast<const char16_t *>(value.constData()),
                                       value.size() / 2);
        return s.left(s.indexOf(QChar(0)));
    }

    const VersionNode *child(const QString &childKey) const
    {
        for (const VersionNode &c : children) {
            if (c.key == childKey)
                return &c;
        }
        return nullptr;
    }
};

bool readVersionNode(const QByteArray &bytes, int pos, int end, VersionNode &node)
{
    if (end - pos < 6)
        return false;
    node.length = word(bytes, pos);
    const int valueLength = word(bytes, pos + 2);
    node.isText = word(bytes, pos + 4) == 1;
    const int nodeEnd = pos + node.length;
    if (node.length < 6 || nodeEnd > end)
        return false;
    int p = pos + 6;
    for (;; p += 2) {
        if (p + 2 > nodeEnd)
            return false;
        const quint16 unit = word(bytes, p);
        if (unit == 0)
            break;
        node.key += QChar(unit);
    }
    p = alignedTo4(p + 2);
    // Text values count UTF-16 units, binary ones bytes.
    const int valueBytes = node.isText ? 2 * valueLength : valueLength;
    if (p + valueBytes > nodeEnd && valueBytes > 0)
        return false;
    node.value = bytes.mid(p, valueBytes);
    p = alignedTo4(p + valueBytes);
    while (p < nodeEnd) {
        VersionNode child;
        if (!readVersionNode(bytes, p, nodeEnd, child))
            return false;
        node.children.append(child);
        p = alignedTo4(p + child.length);
    }
    return true;
}

} // namespace

class tst_Resources : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase_data();
    void init();
    void executableHeaders();
    void manifest();
    void iconGroup();
    void iconImage_data();
    void iconImage();
    void versionNumbers();
    void versionStringTable();
    void versionStrings_data();
    void versionStrings();

private:
    void compile(QByteArray &bytes);
    bool single(const QString &type, const QString &name, QByteArray &data) const;
    const VersionNode *stringTable();

    ResFile res;
    VersionNode version;
};

void tst_Resources::initTestCase_data()
{
    // Executables are named by path; the machine type is IMAGE_FILE_MACHINE_*.
    QTest::addColumn<QString>("executable");
    QTest::addColumn<int>("machine");
#ifdef RC_FILE
    QTest::newRow("compiled resource file") << QString() << 0;
#endif
#ifdef EXECUTABLE
    const QString arch = EXECUTABLE_ARCH;
    QTest::newRow(qPrintable(arch + " Brindleflash.exe"))
        << QString(EXECUTABLE) << (arch == "i686" ? 0x14c : 0x8664);
    if (!QString(I686_EXECUTABLE).isEmpty() && arch != "i686")
        QTest::newRow("i686 Brindleflash.exe") << QString(I686_EXECUTABLE) << 0x14c;
#endif
}

void tst_Resources::init()
{
    QFETCH_GLOBAL(QString, executable);
    QByteArray bytes;
    if (executable.isEmpty()) {
        compile(bytes);
        if (QTest::currentTestFailed())
            return;
        QVERIFY2(res.read(bytes), qPrintable(res.error()));
    } else {
        QFile file(executable);
        QVERIFY2(file.open(QIODevice::ReadOnly), qPrintable(file.errorString()));
        QVERIFY2(res.readExecutable(file.readAll()), qPrintable(res.error()));
    }

    QByteArray block;
    version = VersionNode();
    QVERIFY2(single(versionType, "#1", block), "no single version block");
    QVERIFY(readVersionNode(block, 0, block.size(), version));
    QCOMPARE(version.key, QString("VS_VERSION_INFO"));
}

void tst_Resources::compile(QByteArray &bytes)
{
#ifdef RC_FILE
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString out = dir.filePath("brindleflash.res");
    const QFileInfo rc(RC_FILE);
    QProcess windres;
    windres.setWorkingDirectory(rc.absolutePath());
    windres.setProcessChannelMode(QProcess::ForwardedChannels);
    windres.start(WINDRES,
                  {"--preprocessor=" RC_PREPROCESSOR, "--input-format=rc", "--output-format=res",
                   rc.fileName(), out});
    QVERIFY2(windres.waitForStarted(),
             qPrintable("cannot run the resource compiler " WINDRES
                        " (scripts/install-deps test installs binutils-mingw-w64-i686)"));
    QVERIFY(windres.waitForFinished());
    QCOMPARE(windres.exitStatus(), QProcess::NormalExit);
    QCOMPARE(windres.exitCode(), 0);

    QFile file(out);
    QVERIFY(file.open(QIODevice::ReadOnly));
    bytes = file.readAll();
#else
    Q_UNUSED(bytes)
#endif
}

void tst_Resources::executableHeaders()
{
    QFETCH_GLOBAL(QString, executable);
    QFETCH_GLOBAL(int, machine);
    if (executable.isEmpty())
        QSKIP("a resource file has no headers");
    QCOMPARE(int(res.machine()), machine);
    // IMAGE_SUBSYSTEM_WINDOWS_GUI: no console window.
    QCOMPARE(int(res.subsystem()), 2);
}

bool tst_Resources::single(const QString &type, const QString &name, QByteArray &data) const
{
    const QList<ResFile::Entry> found = res.find(type, name);
    if (found.size() != 1)
        return false;
    data = found.first().data;
    return true;
}

const VersionNode *tst_Resources::stringTable()
{
    const VersionNode *info = version.child("StringFileInfo");
    return info ? info->child("040904B0") : nullptr;
}

void tst_Resources::manifest()
{
    QCOMPARE(res.ofType(manifestType).size(), 1);

    QByteArray text;
    QVERIFY2(single(manifestType, "#1", text), "no manifest with id 1");
    QXmlStreamReader xml(text);
    QMap<QString, QXmlStreamAttributes> elements;
    while (!xml.atEnd()) {
        if (xml.readNext() == QXmlStreamReader::StartElement)
            elements.insert(xml.name().toString(), xml.attributes());
    }
    QVERIFY2(!xml.hasError(), qPrintable(xml.errorString()));

    QVERIFY(elements.contains("requestedExecutionLevel"));
    const QXmlStreamAttributes level = elements.value("requestedExecutionLevel");
    QCOMPARE(level.value("level").toString(), QString("asInvoker"));
    QCOMPARE(level.value("uiAccess").toString(), QString("false"));

    QVERIFY(elements.contains("assemblyIdentity"));
    const QXmlStreamAttributes controls = elements.value("assemblyIdentity");
    QCOMPARE(controls.value("name").toString(), QString("Microsoft.Windows.Common-Controls"));
    QCOMPARE(controls.value("version").toString(), QString("6.0.0.0"));
}

void tst_Resources::iconGroup()
{
    QCOMPARE(res.ofType(groupIconType).size(), 1);

    QByteArray group;
    QVERIFY2(single(groupIconType, "IDI_ICON1", group), "no single IDI_ICON1 icon group");
    QVERIFY(group.size() >= 6);
    QCOMPARE(word(group, 2), quint16(1));
    const int count = word(group, 4);
    QCOMPARE(count, 4);
    QCOMPARE(group.size(), 6 + 14 * count);

    QList<int> sizes;
    for (int i = 0; i < count; ++i) {
        const int width = quint8(group.at(6 + 14 * i));
        sizes.append(width == 0 ? 256 : width);
    }
    std::sort(sizes.begin(), sizes.end());
    QCOMPARE(sizes, QList<int>({16, 32, 48, 256}));
}

void tst_Resources::iconImage_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("bitCount");
    QTest::addColumn<bool>("png");

    QTest::newRow("256x256 PNG") << 256 << 32 << true;
    QTest::newRow("48x48 32-bit") << 48 << 32 << false;
    QTest::newRow("32x32 16 colours") << 32 << 4 << false;
    QTest::newRow("16x16 16 colours") << 16 << 4 << false;
}

void tst_Resources::iconImage()
{
    QFETCH(int, size);
    QFETCH(int, bitCount);
    QFETCH(bool, png);

    QByteArray group;
    QVERIFY2(single(groupIconType, "IDI_ICON1", group), "no single IDI_ICON1 icon group");
    QVERIFY(group.size() >= 6);
    int entry = -1;
    for (int i = 0, count = word(group, 4); i < count && 6 + 14 * (i + 1) <= group.size(); ++i) {
        if (quint8(group.at(6 + 14 * i)) == size % 256)
            entry = 6 + 14 * i;
    }
    QVERIFY2(entry >= 0, "no such image in the group");
    QCOMPARE(int(quint8(group.at(entry + 1))), size % 256);
    QCOMPARE(int(quint8(group.at(entry + 2))), bitCount == 4 ? 16 : 0);
    QCOMPARE(int(word(group, entry + 6)), bitCount);

    QByteArray image;
    QVERIFY2(single(iconType, "#" + QString::number(word(group, entry + 12)), image),
             "the group names a missing image");
    QCOMPARE(quint32(image.size()), dword(group, entry + 8));

    if (png) {
        QVERIFY(image.size() >= 33);
        QVERIFY(image.startsWith("\x89PNG\r\n\x1a\n"));
        QCOMPARE(image.mid(12, 4), QByteArray("IHDR"));
        QCOMPARE(int(bigEndianDword(image, 16)), size);
        QCOMPARE(int(bigEndianDword(image, 20)), size);
        // 8 bits per channel, red, green, blue and alpha.
        QCOMPARE(int(image.at(24)), 8);
        QCOMPARE(int(image.at(25)), 6);
        return;
    }

    QVERIFY(image.size() >= 40);
    QCOMPARE(dword(image, 0), 40u);
    QCOMPARE(int(dword(image, 4)), size);
    // The height covers the colour bitmap and the transparency mask below it.
    QCOMPARE(int(dword(image, 8)), 2 * size);
    QCOMPARE(int(word(image, 14)), bitCount);
    QCOMPARE(dword(image, 16), 0u);
    const int paletteBytes = bitCount == 4 ? 16 * 4 : 0;
    const int colourRow = (size * bitCount + 31) / 32 * 4;
    const int maskRow = (size + 31) / 32 * 4;
    QCOMPARE(image.size(), 40 + paletteBytes + size * (colourRow + maskRow));
}

void tst_Resources::versionNumbers()
{
    QCOMPARE(version.value.size(), 52);
    QCOMPARE(dword(version.value, 0), 0xFEEF04BDu);
    // File version, then product version, each as its high and low double word.
    for (int pos = 8; pos < 24; pos += 4)
        QCOMPARE(dword(version.value, pos), 0u);
}

void tst_Resources::versionStringTable()
{
    const VersionNode *info = version.child("StringFileInfo");
    QVERIFY(info);
    QCOMPARE(info->children.size(), 1);
    QVERIFY(stringTable());

    QStringList keys;
    for (const VersionNode &string : stringTable()->children)
        keys.append(string.key);
    QStringList expected;
    for (const auto &string : expectedStrings)
        expected.append(string.first);
    keys.sort();
    QCOMPARE(keys, expected);

    const VersionNode *varInfo = version.child("VarFileInfo");
    QVERIFY(varInfo);
    const VersionNode *translation = varInfo->child("Translation");
    QVERIFY(translation);
    QCOMPARE(translation->value.size(), 4);
    QCOMPARE(word(translation->value, 0), quint16(0x0409));
    QCOMPARE(word(translation->value, 2), quint16(1200));
}

void tst_Resources::versionStrings_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("value");

    for (const auto &string : expectedStrings)
        QTest::newRow(qPrintable(string.first)) << string.first << string.second;
}

void tst_Resources::versionStrings()
{
    QFETCH(QString, key);
    QFETCH(QString, value);

    QVERIFY(stringTable());
    const VersionNode *string = stringTable()->child(key);
    QVERIFY2(string, "missing");
    QVERIFY(string->isText);
    QCOMPARE(string->text(), value);
}

QTEST_GUILESS_MAIN(tst_Resources)
#include "tst_resources.moc"
