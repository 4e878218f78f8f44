// The built-in demo scene: a small warehouse, library and cold store.
#include "tag_service/readers/simulated/scene_file.h"

namespace tag_service {

std::string_view demo_scene_json() {
  static const char kDemo[] = R"json({
  "formats": [
    {"id": 1, "description": "Asset label", "enabled": true,
     "markets": "EU/US", "ordinal": 1, "usages": "inventory/maintenance",
     "tag_type": 2,
     "fields": [
       {"id": 1, "name": "serial", "type": 1, "description": "Serial number",
        "long_description": "Manufacturer serial number as printed on the rating plate",
        "minimum": 1, "maximum": 24},
       {"id": 2, "name": "owner", "type": 1, "description": "Owner",
        "long_description": "Department or person responsible for the asset",
        "minimum": 0, "maximum": 40},
       {"id": 3, "name": "status", "type": 3, "description": "Status",
        "long_description": "Life-cycle status of the asset",
        "codes": [{"code": "A", "description": "Active"},
                  {"code": "M", "description": "In maintenance"},
                  {"code": "R", "description": "Retired"}]},
       {"id": 4, "name": "service_due", "type": 1,
        "description": "Next service", "long_description": "Date of the next service, YYYY-MM-DD",
        "minimum": 10, "maximum": 10}
     ]},
    {"id": 2, "description": "Library book", "enabled": true,
     "markets": "EU", "ordinal": 2, "usages": "lending", "tag_type": 4,
     "fields": [
       {"id": 1, "name": "isbn", "type": 1, "description": "ISBN",
        "long_description": "ISBN-13 with hyphens", "minimum": 13, "maximum": 17},
       {"id": 2, "name": "title", "type": 1, "description": "Title",
        "long_description": "Title as catalogued", "minimum": 1, "maximum": 80},
       {"id": 3, "name": "shelf", "type": 1, "description": "Shelf mark",
        "long_description": "Shelf mark of the home branch", "minimum": 1, "maximum": 16},
       {"id": 4, "name": "loan_days", "type": 2, "description": "Loan period",
        "long_description": "Days a loan lasts", "minimum": 0, "maximum": 60}
     ]},
    {"id": 3, "description": "Cold-chain pallet", "enabled": true,
     "markets": "EU/APAC", "ordinal": 3, "usages": "logistics/temperature",
     "tag_type": 6,
     "fields": [
       {"id": 1, "name": "batch", "type": 1, "description": "Batch",
        "long_description": "Production batch", "minimum": 1, "maximum": 20},
       {"id": 2, "name": "max_temp", "type": 2, "description": "Highest temperature (°C)",
        "long_description": "Highest temperature the goods may reach, in °C",
        "minimum": -40, "maximum": 30},
       {"id": 3, "name": "origin", "type": 3, "description": "Country of origin",
        "long_description": "ISO 3166 code of the country of origin",
        "codes": [{"code": "DE", "description": "Deutschland"},
                  {"code": "JP", "description": "日本"},
                  {"code": "SE", "description": "Sverige"},
                  {"code": "NZ", "description": "Aotearoa New Zealand"}]}
     ]},
    {"id": 4, "description": "Visitor badge", "enabled": false,
     "markets": "EU", "ordinal": 4, "usages": "access", "tag_type": 7,
     "fields": [
       {"id": 1, "name": "visitor", "type": 1, "description": "Visitor",
        "long_description": "Name of the visitor", "minimum": 1, "maximum": 40},
       {"id": 2, "name": "zone", "type": 2, "description": "Zone",
        "long_description": "Highest security zone", "minimum": 1, "maximum": 9}
     ]}
  ],
  "items": [
    {"id": "ASSET-004711", "type": 2, "first_seen": "2024-05-13T07:02:11Z",
     "tags": [
       {"id": "E28011700000020A1B2C3D01", "format": 1, "type": 2,
        "first_seen": "2024-05-13T07:02:11Z",
        "values": [{"name": "serial", "value": "SN-77-3021"},
                   {"name": "owner", "value": "Werkstatt Süd"},
                   {"name": "status", "value": "A", "description": "Active"},
                   {"name": "service_due", "value": "2025-03-01"}]}]},
    {"id": "ASSET-004712", "type": 2, "first_seen": "2024-05-13T07:02:12.5Z",
     "tags": [
       {"id": "E28011700000020A1B2C3D02", "format": 1, "type": 2,
        "security": true, "secured": true,
        "first_seen": "2024-05-13T07:02:12.5Z",
        "values": [{"name": "serial", "value": "SN-77-3022"},
                   {"name": "owner", "value": "Müller & Söhne GmbH"},
                   {"name": "status", "value": "M", "description": "In maintenance"}]}]},
    {"id": "BOOK-978-3-16", "type": 4, "first_seen": "2024-06-01T09:15:00Z",
     "tags": [
       {"id": "E2003412B802011512345601", "format": 2, "type": 4,
        "first_seen": "2024-06-01T09:15:00Z",
        "values": [{"name": "isbn", "value": "978-3-16-148410-0"},
                   {"name": "title", "value": "Die Vermessung der Welt"},
                   {"name": "shelf", "value": "BEL/KEH 2"},
                   {"name": "loan_days", "value": "28"}]}]},
    {"id": "BOOK-978-91-29", "type": 4, "first_seen": "2024-06-01T09:15:04Z",
     "tags": [
       {"id": "E2003412B802011512345602", "format": 2, "type": 4,
        "first_seen": "2024-06-01T09:15:04Z",
        "values": [{"name": "isbn", "value": "978-91-29-68815-2"},
                   {"name": "title", "value": "Ärlighetens pris #2"},
                   {"name": "shelf", "value": "Hc/LIN"},
                   {"name": "loan_days", "value": "14"}]}]},
    {"id": "PALLET-SSCC-00312", "type": 6, "first_seen": "2024-07-22T03:40:51Z",
     "tags": [
       {"id": "E2806894000040011A2B3C01", "format": 3, "type": 6,
        "first_seen": "2024-07-22T03:40:51Z",
        "values": [{"name": "batch", "value": "L24-0722-A"},
                   {"name": "max_temp", "value": "4"},
                   {"name": "origin", "value": "NZ", "description": "Aotearoa New Zealand"}]},
       {"id": "E2806894000040011A2B3C02", "format": 3, "type": 6,
        "first_seen": "2024-07-22T03:40:52Z",
        "values": [{"name": "batch", "value": "L24-0722-B"},
                   {"name": "max_temp", "value": "-18"},
                   {"name": "origin", "value": "JP", "description": "日本"}]}]},
    {"id": "PALLET-SSCC-00313", "type": 6, "first_seen": "2024-07-22T03:41:09Z",
     "tags": [
       {"id": "E2806894000040011A2B3C03", "format": 3, "type": 6,
        "first_seen": "2024-07-22T03:41:09Z",
        "values": [{"name": "batch", "value": "東京倉庫-07"},
                   {"name": "max_temp", "value": "8"},
                   {"name": "origin", "value": "DE", "description": "Deutschland"}]}]},
    {"id": "BADGE-0042", "type": 7, "first_seen": "2024-09-02T08:00:00Z",
     "tags": [
       {"id": "E2801160600002095F3A0042", "format": 4, "type": 7,
        "security": true, "secured": false,
        "first_seen": "2024-09-02T08:00:00Z",
        "values": [{"name": "visitor", "value": "Zoë Ångström"},
                   {"name": "zone", "value": "2"}]}]},
    {"id": "TASK-2024-118", "type": 8, "first_seen": "2024-09-30T12:00:00Z",
     "tags": [
       {"id": "E28011700000020A1B2C3D10", "format": 1, "type": 8,
        "first_seen": "2024-09-30T12:00:00Z",
        "values": [{"name": "serial", "value": "WO-118"},
                   {"name": "owner", "value": "Zürich/Öst #3"},
                   {"name": "status", "value": "A", "description": "Active"}]}]},
    {"id": "DOCK-DOOR-07", "type": 5, "first_seen": "2023-11-20T06:30:00Z",
     "tags": [
       {"id": "E2000017221101441890AB07", "format": 0, "type": 5,
        "first_seen": "2023-11-20T06:30:00Z", "values": []}]},
    {"id": "SCRAP-BIN-2", "type": 1, "valid": false,
     "first_seen": "2024-10-05T16:45:30Z",
     "tags": [
       {"id": "E28011700000020A1B2C3D99", "format": 1, "type": 1,
        "first_seen": "2024-10-05T16:45:30Z",
        "values": [{"name": "serial", "value": "SN-70-0001"},
                   {"name": "status", "value": "R", "description": "Retired"}]}]},
    {"id": "UNKNOWN-3000E2", "type": 9, "first_seen": "2024-11-11T11:11:11Z",
     "tags": [
       {"id": "3000E200A1B2C3D4E5F60718", "format": 0, "type": 9,
        "first_seen": "2024-11-11T11:11:11Z", "values": []}]},
    {"id": "CART-11", "type": 3, "first_seen": "2024-12-01T10:00:00Z",
     "tags": []}
  ]
})json";
  return kDemo;
}

}  // namespace tag_service
