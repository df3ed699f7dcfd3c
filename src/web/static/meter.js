// One meter: current values, the archives page by page, the chart, documents and exports,
// and for operators the read commands with their progress.
'use strict';

(function () {
    const serial = decodeURIComponent(location.pathname.split('/').filter(Boolean)[1] || '');
    const base = '/api/v1/meters/' + encodeURIComponent(serial);
    const pageSize = 100;
    const message = document.getElementById('message');
    const byId = (id) => document.getElementById(id);
    const columnsCache = {};
    const loaded = {};
    const stateTexts = {
        queued: 'в очереди',
        running: 'выполняется',
        done: 'выполнен',
        failed: 'не выполнен',
        cancelled: 'отменён',
    };
    let session = null;

    function fail(e) {
        if (e && e.status !== 401)
            QST.showMessage(message, e.message);
    }

    async function columns(kind) {
        if (!columnsCache[kind])
            columnsCache[kind] = await QST.getJson(base + '/columns?kind=' + kind);
        return columnsCache[kind];
    }

    // Archive columns of one heat system, as the desktop's three tables split them.
    function ofSystem(cols, system) {
        return cols.filter((c) => c.system === undefined || String(c.system) === system);
    }

    function timeText(kind, time) {
        if (kind === 'daily')
            return QST.dateText(time);
        if (kind === 'monthly')
            return QST.monthText(time);
        return QST.dateTimeText(time);
    }

    // ------------------------------------------------------------------ current values
    async function showCurrent() {
        let data;
        try {
            data = await QST.getJson(base + '/current');
        } catch (e) {
            // The meter itself answered above: a 404 here means no current values are stored.
            if (e.status !== 404)
                throw e;
            data = { time: null, rows: [] };
        }
        byId('current-time').textContent = data.time ? QST.dateTimeText(data.time) : '—';
        const body = byId('current-table').tBodies[0];
        // A heading row before each group (heat system 1, 2, cold water).
        const rows = [];
        let group = null;
        for (const row of data.rows || []) {
            if (row.group && row.group !== group) {
                group = row.group;
                rows.push(QST.element('tr', {}, [QST.element('th', { colspan: '2', text: group })]));
            }
            rows.push(QST.element('tr', {}, [
                QST.element('td', { text: row.name }),
                QST.element('td', { className: 'num', text: row.value }),
            ]));
        }
        body.replaceChildren(...rows);
        if (!(data.rows || []).length)
            body.append(QST.element('tr', {}, [QST.element('td', { colspan: '2', className: 'empty', text: 'Текущие показания не получены.' })]));
    }

    // ------------------------------------------------------------------ archive pages
    const archive = { kind: 'hourly', offset: 0, total: 0 };

    function defaultPeriod(kind) {
        if (kind === 'hourly')
            return [QST.daysAgo(1), QST.daysAgo(0)];
        if (kind === 'daily7')
            return [QST.daysAgo(6), QST.daysAgo(0)];
        if (kind === 'monthly')
            return [QST.daysAgo(365), QST.daysAgo(0)];
        return [QST.daysAgo(30), QST.daysAgo(0)];
    }

    function setPeriod(fromId, toId, kind) {
        const [from, to] = defaultPeriod(kind);
        byId(fromId).value = from;
        byId(toId).value = to;
    }

    async function showArchive() {
        const kind = archive.kind;
        const cols = ofSystem(await columns(kind), byId('archive-system').value);
        const from = byId('archive-from').value;
        const to = byId('archive-to').value;
        const query = '?kind=' + kind + '&from=' + from + '&to=' + to + '&offset=' + archive.offset + '&limit=' + pageSize;
        const response = await QST.request(base + '/records' + query);
        const records = await response.json();
        const total = parseInt(response.headers.get('X-Total-Count') || '', 10);
        archive.total = isFinite(total) ? total : archive.offset + records.length;

        const table = byId('archive-table');
        const head = QST.element('tr', {}, [QST.element('th', { text: 'Дата/время' })].concat(
            cols.map((c) => QST.element('th', { text: c.title, className: kind === 'journal' ? null : 'num' }))));
        table.tHead.replaceChildren(head);
        table.tBodies[0].replaceChildren(...records.map((record) => {
            const cells = [QST.element('td', { text: timeText(kind, record.time) })];
            for (const c of cols) {
                const value = record[c.key];
                cells.push(QST.element('td', {
                    className: typeof value === 'number' ? 'num' : (kind === 'journal' ? 'wrap' : null),
                    text: QST.numberText(value),
                }));
            }
            return QST.element('tr', { className: record.ns ? 'ns' : null }, cells);
        }));
        if (!records.length) {
            table.tBodies[0].append(QST.element('tr', {}, [QST.element('td', {
                colspan: String(cols.length + 1), className: 'empty', text: 'Нет записей за выбранный период.',
            })]));
        }
        const pages = Math.max(1, Math.ceil(archive.total / pageSize));
        const page = Math.floor(archive.offset / pageSize) + 1;
        byId('archive-count').textContent = 'Записей: ' + archive.total;
        byId('page-text').textContent = 'Страница ' + page + ' из ' + pages;
        byId('page-first').disabled = byId('page-prev').disabled = page <= 1;
        byId('page-next').disabled = byId('page-last').disabled = page >= pages;
    }

    function goToPage(offset) {
        archive.offset = Math.max(0, offset);
        showArchive().catch(fail);
    }

    byId('archive-form').addEventListener('submit', (event) => {
        event.preventDefault();
        goToPage(0);
    });
    byId('page-first').addEventListener('click', () => goToPage(0));
    byId('page-prev').addEventListener('click', () => goToPage(archive.offset - pageSize));
    byId('page-next').addEventListener('click', () => goToPage(archive.offset + pageSize));
    byId('page-last').addEventListener('click', () =>
        goToPage(Math.floor(Math.max(0, archive.total - 1) / pageSize) * pageSize));

    // ------------------------------------------------------------------ chart
    const chosen = {};

    async function chartColumns() {
        const kind = byId('chart-kind').value;
        const cols = ofSystem(await columns(kind), byId('chart-system').value).filter(QSTChart.isQuantity);
        const slot = kind + byId('chart-system').value;
        if (!chosen[slot]) {
            // The system's supply and return temperatures first, as the desktop's chart opens.
            const first = cols.filter((c) => /^[ТT]\d \(/.test(c.title)).slice(0, 2).map((c) => c.key);
            chosen[slot] = first.length ? first : cols.slice(0, 2).map((c) => c.key);
        }
        const box = byId('chart-quantities');
        box.replaceChildren(...cols.map((c) => {
            const input = QST.element('input', { type: 'checkbox', value: c.key, checked: chosen[slot].includes(c.key) });
            input.addEventListener('change', () => {
                chosen[slot] = Array.from(box.querySelectorAll('input:checked')).map((i) => i.value);
                showChart().catch(fail);
            });
            return QST.element('label', {}, [input, c.title]);
        }));
        return cols;
    }

    let chartRecords = { key: '', records: [] };

    async function showChart() {
        const kind = byId('chart-kind').value;
        const cols = await chartColumns();
        const slot = kind + byId('chart-system').value;
        const from = byId('chart-from').value;
        const to = byId('chart-to').value;
        const key = kind + '|' + from + '|' + to;
        if (chartRecords.key !== key) {
            const records = await QST.getJson(base + '/records?kind=' + kind + '&from=' + from + '&to=' + to);
            chartRecords = { key, records };
        }
        QSTChart.draw(byId('chart'), kind, cols, chartRecords.records, chosen[slot]);
    }

    byId('chart-form').addEventListener('submit', (event) => {
        event.preventDefault();
        showChart().catch(fail);
    });
    byId('chart-system').addEventListener('change', () => showChart().catch(fail));
    byId('archive-system').addEventListener('change', () => goToPage(0));
    byId('chart-kind').addEventListener('change', () => {
        setPeriod('chart-from', 'chart-to', byId('chart-kind').value === 'hourly' ? 'daily7' : byId('chart-kind').value);
        showChart().catch(fail);
    });

    // ------------------------------------------------------------------ documents and exports
    function fileName(response, fallback) {
        const header = response.headers.get('Content-Disposition') || '';
        const star = /filename\*\s*=\s*UTF-8''([^;]+)/i.exec(header);
        if (star) {
            try {
                return decodeURIComponent(star[1].trim());
            } catch (e) {
                // fall through to the plain name
            }
        }
        const plain = /filename\s*=\s*"([^"]*)"/i.exec(header) || /filename\s*=\s*([^;]+)/i.exec(header);
        return plain ? plain[1].trim() : fallback;
    }

    // The file is fetched first so that a refusal shows as a message, not as a broken download.
    async function download(address, fallback, progress, button) {
        QST.showMessage(message, '');
        button.disabled = true;
        progress.textContent = 'Формируется…';
        try {
            const response = await QST.request(address);
            const blob = await response.blob();
            const url = URL.createObjectURL(blob);
            const link = QST.element('a', { href: url, download: fileName(response, fallback), className: 'hidden' });
            document.body.append(link);
            link.click();
            link.remove();
            setTimeout(() => URL.revokeObjectURL(url), 60000);
            progress.textContent = 'Файл получен: ' + link.download;
        } catch (e) {
            progress.textContent = '';
            fail(e);
        } finally {
            button.disabled = false;
        }
    }

    function syncDocumentForm() {
        const statement = byId('doc-kind').value === 'statement';
        const journal = byId('doc-kind').value === 'journal';
        // The statement is a heat system's daily table; the journal has no heat system.
        byId('doc-system').disabled = journal;
        if (statement && byId('doc-system').value === '3')
            byId('doc-system').value = '1';
        byId('doc-system').querySelector('option[value="3"]').disabled = statement;
    }

    byId('doc-kind').addEventListener('change', syncDocumentForm);
    byId('document-form').addEventListener('submit', (event) => {
        event.preventDefault();
        const params = new URLSearchParams({
            kind: byId('doc-kind').value,
            system: byId('doc-system').value,
            from: byId('doc-from').value,
            to: byId('doc-to').value,
            format: byId('doc-format').value,
        });
        if (byId('doc-orientation').value)
            params.set('landscape', '1');
        download(base + '/document?' + params, 'document.' + byId('doc-format').value, byId('doc-progress'), byId('doc-start'));
    });
    byId('export-form').addEventListener('submit', (event) => {
        event.preventDefault();
        const params = new URLSearchParams({
            kind: byId('exp-kind').value,
            system: byId('exp-system').value,
            from: byId('exp-from').value,
            to: byId('exp-to').value,
            format: byId('exp-format').value,
        });
        download(base + '/export?' + params, 'export.' + byId('exp-format').value, byId('exp-progress'), byId('exp-start'));
    });

    // ------------------------------------------------------------------ read commands
    let polling = null;

    function progressText(state) {
        let text = (state.what === 'gaps' ? 'Дочитать пропуски' : 'Прочитать сейчас') + ': ' +
            (stateTexts[state.state] || state.state);
        if (state.total)
            text += ' (' + state.done + ' из ' + state.total + ')';
        if (state.text)
            text += ' — ' + state.text;
        return text;
    }

    async function follow(id) {
        clearTimeout(polling);
        try {
            const state = await QST.getJson('/api/v1/requests/' + encodeURIComponent(id));
            byId('read-progress').textContent = progressText(state);
            if (state.state === 'queued' || state.state === 'running') {
                polling = setTimeout(() => follow(id), 1000);
                return;
            }
            byId('read-now').disabled = byId('read-gaps').disabled = false;
            loaded.current = false;
            loaded.archive = false;
        } catch (e) {
            byId('read-now').disabled = byId('read-gaps').disabled = false;
            fail(e);
        }
    }

    async function read(what) {
        QST.showMessage(message, '');
        byId('read-now').disabled = byId('read-gaps').disabled = true;
        try {
            const response = await QST.request(base + '/read', { method: 'POST', body: { what } });
            const answer = await response.json();
            byId('read-progress').textContent = 'Запрос отправлен';
            follow(answer.request);
        } catch (e) {
            byId('read-now').disabled = byId('read-gaps').disabled = false;
            byId('read-progress').textContent = '';
            fail(e);
        }
    }

    byId('read-now').addEventListener('click', () => read('now'));
    byId('read-gaps').addEventListener('click', () => read('gaps'));

    // ------------------------------------------------------------------ tabs
    const archiveKinds = ['hourly', 'daily', 'monthly', 'journal'];

    function showTab(tab) {
        if (!byId('tab-' + tab) && !archiveKinds.includes(tab))
            tab = 'current';
        for (const button of document.querySelectorAll('#tabs button'))
            button.classList.toggle('active', button.dataset.tab === tab);
        const section = archiveKinds.includes(tab) ? 'archive' : tab;
        for (const s of document.querySelectorAll('section.tab'))
            s.classList.toggle('hidden', s.id !== 'tab-' + section);
        QST.showMessage(message, '');
        if (history.replaceState)
            history.replaceState(null, '', '#' + tab);
        if (section === 'archive') {
            if (archive.kind !== tab || !loaded.archive) {
                archive.kind = tab;
                archive.offset = 0;
                byId('archive-system-label').classList.toggle('hidden', tab === 'journal');
                setPeriod('archive-from', 'archive-to', tab);
                loaded.archive = true;
                showArchive().catch(fail);
            }
        } else if (tab === 'current' && !loaded.current) {
            loaded.current = true;
            showCurrent().catch(fail);
        } else if (tab === 'chart' && !loaded.chart) {
            loaded.chart = true;
            showChart().catch(fail);
        }
    }

    for (const button of document.querySelectorAll('#tabs button'))
        button.addEventListener('click', () => showTab(button.dataset.tab));
    window.addEventListener('hashchange', () => showTab(location.hash.slice(1)));

    async function start() {
        try {
            session = await QST.start();
            const meter = await QST.getJson(base);
            document.title = meter.name + ' — архив приборов QST-5.4';
            byId('meter-title').textContent = meter.name;
            const parts = ['Заводской № ' + meter.serial];
            const path = Array.isArray(meter.groupPath) && meter.groupPath.length ? meter.groupPath.join(' / ') : meter.group;
            if (path)
                parts.push('Группа: ' + path);
            parts.push('Последний ответ: ' + (meter.lastAnswer ? QST.dateTimeText(meter.lastAnswer) : '—'));
            if (meter.overdue)
                parts.push('не отвечает');
            byId('meter-sub').textContent = parts.join(' · ');
            byId('meter-sub').classList.toggle('overdue', !!meter.overdue);
            if (session.role === 'operator' || session.role === 'admin')
                byId('read-bar').classList.remove('hidden');
        } catch (e) {
            fail(e);
            return;
        }
        setPeriod('chart-from', 'chart-to', 'daily7');
        setPeriod('doc-from', 'doc-to', 'daily');
        setPeriod('exp-from', 'exp-to', 'daily');
        syncDocumentForm();
        showTab(location.hash.slice(1) || 'current');
    }

    start();
})();
