// The meter's chart on Chart.js: a linear axis of wall-clock milliseconds (no date adapter
// is installed), a break wherever a record is missing, abnormal-situation records shaded.
'use strict';

const QSTChart = (function () {
    const hour = 3600 * 1000;
    const day = 24 * hour;
    const steps = { hourly: hour, daily: day, monthly: 31 * day };
    const tickSteps = [hour, 2 * hour, 3 * hour, 6 * hour, 12 * hour, day, 2 * day, 7 * day, 14 * day, 30 * day,
        61 * day, 91 * day, 182 * day, 365 * day];
    const colors = ['#c0392b', '#2471a3', '#1e8449', '#7d3c98', '#b9770e', '#117a65', '#884ea0', '#34495e',
        '#d35400', '#2e86c1', '#28b463', '#a93226'];
    const shade = 'rgba(230, 126, 34, 0.22)';

    // Rectangles behind the lines over each record with abnormal-situation bits.
    const nsShading = {
        id: 'qstNsShading',
        beforeDatasetsDraw(chart, args, options) {
            const spans = (options && options.spans) || [];
            const x = chart.scales.x;
            const area = chart.chartArea;
            if (!x || !area || !spans.length)
                return;
            const ctx = chart.ctx;
            ctx.save();
            ctx.fillStyle = options.color || shade;
            for (const [from, to] of spans) {
                const left = Math.max(x.getPixelForValue(from), area.left);
                const right = Math.min(x.getPixelForValue(to), area.right);
                if (right > left)
                    ctx.fillRect(left, area.top, right - left, area.bottom - area.top);
            }
            ctx.restore();
        },
    };
    Chart.register(nsShading);
    Chart.defaults.font.family = getComputedStyle(document.documentElement).fontFamily;

    // Which of the desktop chart's three axes a quantity belongs on, by its unit.
    function axisOf(title) {
        if (/°[СC]/.test(title))
            return 'temperature';
        if (/кгс/.test(title))
            return 'pressure';
        return 'amount';
    }

    function isQuantity(column) {
        return !/^ns/i.test(column.key) && !/^НС/.test(column.title);
    }

    // A missing record is a null point between its neighbours, so the line stops there.
    function points(records, key, kind) {
        const step = steps[kind] || hour;
        const result = [];
        let previous = null;
        for (const record of records) {
            const x = QST.timeMs(record.time);
            if (!isFinite(x))
                continue;
            if (previous !== null && x - previous > step * 1.5)
                result.push({ x: previous + step, y: null });
            const value = record[key];
            result.push({ x, y: typeof value === 'number' && isFinite(value) ? value : null });
            previous = x;
        }
        return result;
    }

    function shadedSpans(records, kind) {
        const step = kind === 'monthly' ? 30 * day : (steps[kind] || hour);
        const spans = [];
        for (const record of records) {
            if (!record.ns)
                continue;
            const x = QST.timeMs(record.time);
            if (!isFinite(x))
                continue;
            const last = spans[spans.length - 1];
            if (last && x - step / 2 <= last[1])
                last[1] = x + step / 2;
            else
                spans.push([x - step / 2, x + step / 2]);
        }
        return spans;
    }

    function tickStep(range, width) {
        const most = Math.max(2, Math.floor(width / 110));
        for (const step of tickSteps) {
            if (range / step <= most)
                return step;
        }
        return tickSteps[tickSteps.length - 1];
    }

    function tickText(ms, kind, step) {
        const text = QST.msText(ms);
        return kind !== 'hourly' || step >= day ? text.split(' ')[0] : text;
    }

    let chart = null;

    // columns: the kind's columns; keys: the chosen ones.
    function draw(canvas, kind, columns, records, keys) {
        const chosen = columns.filter((c) => keys.includes(c.key));
        const axes = {
            temperature: 'Температура, °С',
            pressure: 'Давление, кгс/см^2',
            amount: 'Масса, т; объём, м^3; тепло, ГКал',
        };
        const datasets = chosen.map((column) => {
            const color = colors[columns.indexOf(column) % colors.length];
            return {
                label: column.title,
                data: points(records, column.key, kind),
                yAxisID: axisOf(column.title),
                borderColor: color,
                backgroundColor: color,
                borderWidth: 1.5,
                pointRadius: records.length > 200 ? 0 : 2,
                spanGaps: false,
            };
        });
        const spans = shadedSpans(records, kind);
        if (spans.length)
            datasets.push({
                label: 'НС', data: [], backgroundColor: shade, borderColor: shade,
                yAxisID: datasets.length ? datasets[0].yAxisID : 'temperature',
            });
        const xs = records.map((r) => QST.timeMs(r.time)).filter(isFinite);
        const first = xs.length ? Math.min(...xs) : undefined;
        const last = xs.length ? Math.max(...xs) : undefined;
        const step = tickStep(xs.length ? last - first : day, canvas.parentElement.clientWidth || 600);
        const scales = {
            x: {
                type: 'linear',
                // The axis ends where the records do; labels only on whole steps (midnights for days).
                min: first,
                max: last,
                afterBuildTicks: (axis) => {
                    if (first === undefined)
                        return;
                    const ticks = [];
                    for (let value = Math.ceil(first / step) * step; value <= last; value += step)
                        ticks.push({ value });
                    axis.ticks = ticks;
                },
                ticks: {
                    maxRotation: 0,
                    callback: (value) => tickText(value, kind, step),
                },
            },
        };
        let side = 0;
        for (const [id, title] of Object.entries(axes)) {
            scales[id] = {
                type: 'linear',
                display: 'auto',
                position: side++ === 0 ? 'left' : 'right',
                title: { display: true, text: title },
                grid: { drawOnChartArea: id === 'temperature' },
                ticks: { callback: (value) => QST.numberText(Math.round(value * 1e6) / 1e6) },
            };
        }
        const config = {
            type: 'line',
            data: { datasets },
            options: {
                animation: false,
                maintainAspectRatio: false,
                parsing: true,
                normalized: true,
                interaction: { mode: 'nearest', axis: 'x', intersect: false },
                scales,
                plugins: {
                    qstNsShading: { spans, color: shade },
                    legend: { position: 'bottom' },
                    tooltip: {
                        callbacks: {
                            title: (items) => (items.length ? tickText(items[0].parsed.x, kind, hour) : ''),
                            label: (item) => item.dataset.label + ': ' + QST.numberText(item.parsed.y),
                        },
                    },
                },
            },
        };
        if (chart)
            chart.destroy();
        chart = new Chart(canvas, config);
        return chart;
    }

    return { draw, isQuantity, points, shadedSpans };
})();
