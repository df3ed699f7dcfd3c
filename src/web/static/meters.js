// The caller's meters under their groups, each with the summary's health columns.
'use strict';

(function () {
    const columns = ['Прибор', 'Заводской №', 'Последний ответ', 'Пропущено часов за 31 сут.', 'НС за сутки',
        'Просрочен', 'Последняя ошибка'];
    const groupsBox = document.getElementById('groups');
    const search = document.getElementById('search');
    const count = document.getElementById('count');
    const message = document.getElementById('message');
    let meters = [];

    function groupTitle(meter) {
        const path = Array.isArray(meter.groupPath) ? meter.groupPath : (meter.group ? [meter.group] : []);
        return path.length ? path.join(' / ') : 'Все';
    }

    function row(meter) {
        const link = QST.element('a', { href: '/meter/' + encodeURIComponent(meter.serial), text: meter.name || String(meter.serial) });
        const cells = [
            QST.element('td', {}, [link]),
            QST.element('td', { className: 'num', text: String(meter.serial) }),
            QST.element('td', { text: meter.lastAnswer ? QST.dateTimeText(meter.lastAnswer) : '—' }),
            QST.element('td', { className: 'num', text: meter.missingHours === undefined ? '' : String(meter.missingHours) }),
            QST.element('td', { text: meter.ns ? (meter.nsText || 'есть') : '', title: meter.nsText || null }),
            QST.element('td', { text: meter.overdue ? 'не отвечает' : '' }),
            QST.element('td', { className: 'wrap', text: meter.failureText || '' }),
        ];
        return QST.element('tr', {
            className: meter.overdue ? 'overdue' : null,
            title: meter.overdue ? 'Прибор не отвечает дольше положенного' : null,
        }, cells);
    }

    function matches(meter, words) {
        const text = (meter.serial + ' ' + (meter.name || '') + ' ' + groupTitle(meter)).toLowerCase();
        return words.every((w) => text.includes(w));
    }

    function render() {
        const words = search.value.toLowerCase().split(/\s+/).filter(Boolean);
        const shown = meters.filter((m) => matches(m, words));
        // The server sends them in the tree's order; a group is shown where its first meter is.
        const groups = new Map();
        for (const meter of shown) {
            const title = groupTitle(meter);
            if (!groups.has(title))
                groups.set(title, []);
            groups.get(title).push(meter);
        }
        groupsBox.replaceChildren();
        for (const [title, list] of groups) {
            const head = QST.element('tr', {}, columns.map((c) => QST.element('th', { text: c })));
            const table = QST.element('table', { className: 'meters' }, [
                QST.element('thead', {}, [head]),
                QST.element('tbody', {}, list.map(row)),
            ]);
            groupsBox.append(QST.element('section', { className: 'group' }, [
                QST.element('h2', { text: title }),
                QST.element('div', { className: 'scroll' }, [table]),
            ]));
        }
        if (!shown.length)
            groupsBox.append(QST.element('p', { className: 'empty', text: meters.length ? 'Ничего не найдено.' : 'Нет приборов.' }));
        count.textContent = 'Приборов: ' + shown.length + (shown.length !== meters.length ? ' из ' + meters.length : '');
    }

    async function load() {
        try {
            await QST.start();
            meters = await QST.getJson('/api/v1/meters');
            render();
        } catch (e) {
            if (e.status !== 401)
                QST.showMessage(message, e.message);
        }
    }

    search.addEventListener('input', render);
    load();
})();
