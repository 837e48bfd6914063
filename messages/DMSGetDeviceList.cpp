#include "messages/DMSGetDeviceList.h"

#include "messages/DomTree.h"

namespace Zarvo {

using namespace xercesc;

namespace {

// A list property's items are named after it less its last character (a plural less its "s").
QString itemName(const QString& listName) { return listName.left(listName.size() - 1); }

}  // namespace

QString DeviceRecord::property(const QString& name) const {
  const auto it = properties.find(name);
  return it == properties.end() ? QString() : it->second;
}

// ---------------------------------------------------------------------------------------------
// Request

CmdDMSGetDeviceListRequest::CmdDMSGetDeviceListRequest()
    : Zarvo::RequestPacket(QStringLiteral("DMSGetDeviceList")) {}

DOMDocument* CmdDMSGetDeviceListRequest::createDocument() const {
  return domtree::filled(RequestPacket::createDocument(), [this](DOMElement* root) {
    if (!groups.isEmpty() || !devices.isEmpty()) {
      DOMElement* filter = domtree::append(root, QStringLiteral("Filter"));
      if (!groups.isEmpty()) {
        // One Group only, carrying the first identifier: the service filters by one group.
        DOMElement* group = domtree::append(filter, QStringLiteral("Group"));
        domtree::setAttribute(group, QStringLiteral("ID"), groups.first());
      }
      for (const DeviceFilter& f : devices) {
        DOMElement* device = domtree::append(filter, QStringLiteral("Device"));
        if (f.id != -1) domtree::setAttribute(device, QStringLiteral("ID"), QString::number(f.id));
        for (const auto& c : f.criteria) domtree::append(device, c.first, c.second);
      }
    }
    if (forceUpToDate) domtree::append(root, QStringLiteral("ForceUpToDate"), QString());
    if (!properties.isEmpty()) {
      DOMElement* list = domtree::append(root, QStringLiteral("PropertyList"));
      DOMElement* device = domtree::append(list, QStringLiteral("Device"));
      for (const QString& p : properties) domtree::append(device, p);
    }
  });
}

void CmdDMSGetDeviceListRequest::toByteArray(QByteArray& bytes) const {
  // The document is a cache of the fields: rebuild it so the bytes show the fields as they are.
  const_cast<CmdDMSGetDeviceListRequest*>(this)->discardDocument();
  RequestPacket::toByteArray(bytes);
}

void CmdDMSGetDeviceListRequest::fromByteArray(const QByteArray& bytes) {
  RequestPacket::fromByteArray(bytes);
  groups.clear();
  devices.clear();
  forceUpToDate = false;
  properties.clear();
  const DOMElement* root = document()->getDocumentElement();

  // More than one of an element leaves its fields at their initial values.
  const auto filters = domtree::descendants(root, QStringLiteral("Filter"));
  if (filters.size() == 1) {
    for (DOMElement* g : domtree::descendants(filters.front(), QStringLiteral("Group"))) {
      bool present = false;
      const QString id = domtree::attribute(g, QStringLiteral("ID"), &present);
      if (present) groups << id;
    }
    for (DOMElement* d : domtree::descendants(filters.front(), QStringLiteral("Device"))) {
      DeviceFilter f;
      bool present = false;
      const QString id = domtree::attribute(d, QStringLiteral("ID"), &present);
      f.id = present ? qint32(domtree::toNumber(id, 0)) : -1;
      for (DOMElement* c : domtree::children(d)) {
        f.criteria.append({domtree::name(c), domtree::textContent(c)});
      }
      devices.append(f);
    }
  }
  forceUpToDate = domtree::descendants(root, QStringLiteral("ForceUpToDate")).size() == 1;
  const auto lists = domtree::descendants(root, QStringLiteral("PropertyList"));
  if (lists.size() == 1) {
    const auto listed = domtree::descendants(lists.front(), QStringLiteral("Device"));
    if (listed.size() == 1) {
      for (DOMElement* p : domtree::children(listed.front())) properties << domtree::name(p);
    }
  }
}

// ---------------------------------------------------------------------------------------------
// Response

DOMDocument* CmdDMSGetDeviceListResponse::createDocument() const {
  return domtree::filled(ResponsePacket::createDocument(), [this](DOMElement* root) {
    for (const DeviceRecord& r : devices) {
      DOMElement* device = domtree::append(root, QStringLiteral("Device"));
      domtree::setAttribute(device, QStringLiteral("ID"), QString::number(r.id));
      for (const auto& [name, value] : r.properties) domtree::append(device, name, value);
      for (const auto& [name, items] : r.listProperties) {
        DOMElement* list = domtree::append(device, name);
        for (const DeviceRecord::Item& item : items) {
          DOMElement* element = domtree::append(list, itemName(name));
          for (const auto& [field, value] : item) domtree::append(element, field, value);
        }
      }
    }
  });
}

void CmdDMSGetDeviceListResponse::toByteArray(QByteArray& bytes) const {
  const_cast<CmdDMSGetDeviceListResponse*>(this)->discardDocument();
  ResponsePacket::toByteArray(bytes);
}

void CmdDMSGetDeviceListResponse::fromByteArray(const QByteArray& bytes) {
  devices.clear();
  ResponsePacket::fromByteArray(bytes);
  domtree::requireRoot(document(), QStringLiteral("OrxResponse"));
  const DOMElement* root = document()->getDocumentElement();
  for (DOMElement* d : domtree::descendants(root, QStringLiteral("Device"))) {
    DeviceRecord record;
    record.id = quint32(domtree::toNumber(domtree::attribute(d, QStringLiteral("ID")), 0));
    for (DOMElement* n : domtree::children(d)) {
      const QString name = domtree::name(n);
      const auto items = domtree::descendants(n, itemName(name));
      if (!items.empty()) {
        QList<DeviceRecord::Item> list;
        for (DOMElement* i : items) {
          DeviceRecord::Item item;
          for (DOMElement* f : domtree::children(i)) {
            item[domtree::name(f)] = domtree::textContent(f);
          }
          list.append(item);
        }
        record.properties.erase(name);  // a later property of the same name replaces it
        record.listProperties[name] = list;
      } else {
        record.listProperties.erase(name);
        record.properties[name] = domtree::textContent(n);
      }
    }
    devices.append(record);
  }
}

}  // namespace Zarvo
