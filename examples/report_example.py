"""Builds a damaged sales export, rescues it and writes the HTML report shown in docs/report.md.

    python examples/report_example.py      # writes sales*.csv and sales-report.html here
    chromium --headless --window-size=1000,1400 --screenshot=docs/images/report.png sales-report.html
"""

import random, rowmend
random.seed(7)
cities = ["Berlin", "Paris", "Porto", "Oslo", "Turku", "Gent", "Graz"]
rows = ["Sales export, generated 2026-12-01", "", "id,name,city,amount,date"]
for i in range(1, 40_001):
    city = random.choice(cities)
    row = f"{i},item {i},{city},{random.randint(1, 999)}.{random.randint(0, 99):02d},2026-11-{random.randint(1, 30):02d}"
    r = random.random()
    if 12_000 < i < 14_000 and r < 0.05:
        row = f"{i},item {i},{city}"                           # a burst of cut-off rows
    elif r < 0.002:
        row = f"{i},item {i},{city},12.50,2026-11-03,extra,note"  # surplus fields
    elif r < 0.003:
        row = f'{i},"item "{i}" special",{city},3.00,2026-11-04'  # a stray quote
    elif r < 0.004:
        row = f"{i},item {i}"
    rows.append(row)
open("sales.csv", "w").write("\n".join(rows) + "\n")
report = rowmend.clean("sales.csv", "sales-clean.csv", quarantine="sales-quarantine.csv",
                       record_repairs=True, merge_overflow=False)
report.to_html("sales-report.html", rows=6, title="rowmend: sales.csv")
print(report.total_rows, report.repaired_rows, report.quarantined_rows)
