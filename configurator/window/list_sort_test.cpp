#include "configurator/window/list_sort.h"

#include <gtest/gtest.h>

#include <QStandardItemModel>
#include <cstring>

namespace quensaria::configurator {
namespace {

uint32_t Address(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
  const uint8_t octets[4] = {a, b, c, d};  // network byte order
  uint32_t address;
  std::memcpy(&address, octets, sizeof address);
  return address;
}

TEST(ListSortTest, AddressesInOctetOrderWithAnyAddressLast) {
  const QVariant nine = ClientAddressSortKey(Address(10, 0, 0, 9));
  const QVariant ten = ClientAddressSortKey(Address(10, 0, 0, 10));
  const QVariant other_net = ClientAddressSortKey(Address(9, 255, 255, 255));
  const QVariant high = ClientAddressSortKey(Address(255, 255, 255, 255));
  const QVariant any = ClientAddressSortKey(0);
  EXPECT_TRUE(SortLess(nine, ten));
  EXPECT_FALSE(SortLess(ten, nine));
  EXPECT_TRUE(SortLess(other_net, nine));  // the first octet weighs most
  EXPECT_TRUE(SortLess(high, any));
  EXPECT_FALSE(SortLess(any, high));
}

TEST(ListSortTest, TextIgnoresCase) {
  EXPECT_TRUE(SortLess(QStringLiteral("alpha"), QStringLiteral("Beta")));
  EXPECT_TRUE(SortLess(QStringLiteral("ALPHA"), QStringLiteral("beta")));
  EXPECT_FALSE(SortLess(QStringLiteral("Gamma"), QStringLiteral("gamma")));
  EXPECT_FALSE(SortLess(QStringLiteral("gamma"), QStringLiteral("Gamma")));
  // Texts that look like numbers still compare as texts: "100 M" < "20 M".
  EXPECT_TRUE(SortLess(QStringLiteral("100 M"), QStringLiteral("20 M")));
}

// A model whose column 0 holds texts and column 1 addresses, rows tagged
// with their position so the test can tell where each went.
class ProxyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const struct {
      const char* name;
      uint32_t address;
    } rows[] = {{"zeta", Address(10, 0, 0, 10)},
                {"任何地址", 0},
                {"Alpha", Address(10, 0, 0, 9)},
                {"beta", Address(192, 168, 0, 1)}};
    for (const auto& row : rows) {
      auto* name = new QStandardItem(QString::fromUtf8(row.name));
      name->setData(name->text(), kSortRole);
      auto* address = new QStandardItem;
      address->setData(ClientAddressSortKey(row.address), kSortRole);
      model_.appendRow({name, address});
    }
    proxy_.setSourceModel(&model_);
  }
  QStringList Names() const {
    QStringList names;
    for (int row = 0; row < proxy_.rowCount(); ++row)
      names << proxy_.index(row, 0).data().toString();
    return names;
  }

  QStandardItemModel model_;
  ListSortProxy proxy_;
};

TEST_F(ProxyTest, SortsBothWaysAndReturnsToTheModelsOrder) {
  proxy_.sort(0, Qt::AscendingOrder);
  EXPECT_EQ(Names(), (QStringList{"Alpha", "beta", "zeta", "任何地址"}));
  proxy_.sort(0, Qt::DescendingOrder);
  EXPECT_EQ(Names(), (QStringList{"任何地址", "zeta", "beta", "Alpha"}));
  proxy_.sort(1, Qt::AscendingOrder);
  EXPECT_EQ(Names(), (QStringList{"Alpha", "zeta", "beta", "任何地址"}));
  proxy_.sort(1, Qt::DescendingOrder);
  EXPECT_EQ(Names(), (QStringList{"任何地址", "beta", "zeta", "Alpha"}));
  proxy_.ClearSort();
  EXPECT_EQ(Names(), (QStringList{"zeta", "任何地址", "Alpha", "beta"}));
}

TEST_F(ProxyTest, HeadersStartAscending) {
  EXPECT_EQ(proxy_.headerData(1, Qt::Horizontal, Qt::InitialSortOrderRole).toInt(),
            static_cast<int>(Qt::AscendingOrder));
}

}  // namespace
}  // namespace quensaria::configurator
