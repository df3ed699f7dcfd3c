// Accounts, for administrators: add, change role, meters, groups or password, delete.
'use strict';

(function () {
    const message = document.getElementById('message');
    const body = document.getElementById('users-table').tBodies[0];
    const form = document.getElementById('add-form');

    function fail(e) {
        if (e && e.status !== 401)
            QST.showMessage(message, e.message);
    }

    function done(text) {
        QST.showMessage(message, text, 'info');
    }

    // "50001, 50002" → [50001, 50002]; anything else is refused before it reaches the server.
    function numbers(text) {
        const parts = text.split(/[\s,;]+/).filter(Boolean);
        if (parts.some((p) => !/^\d+$/.test(p)))
            throw new QST.ApiError(400, 'Номера указываются цифрами через запятую.');
        return parts.map(Number);
    }

    function roleSelect(value) {
        const select = QST.element('select', {}, QST.roles.map((r) => QST.element('option', { value: r, text: QST.roleText(r) })));
        select.value = value;
        return select;
    }

    function row(user) {
        const role = roleSelect(user.role);
        const meters = QST.element('input', { value: (user.meters || []).join(', '), 'aria-label': 'Приборы' });
        const groups = QST.element('input', { value: (user.groups || []).join(', '), 'aria-label': 'Группы' });
        const password = QST.element('input', { type: 'password', autocomplete: 'new-password', 'aria-label': 'Новый пароль' });
        const save = QST.element('button', { type: 'button', text: 'Сохранить' });
        const remove = QST.element('button', { type: 'button', text: 'Удалить' });
        save.addEventListener('click', async () => {
            try {
                const change = { role: role.value, meters: numbers(meters.value), groups: numbers(groups.value) };
                if (password.value)
                    change.password = password.value;
                await QST.request('/api/v1/users/' + encodeURIComponent(user.name), { method: 'PUT', body: change });
                password.value = '';
                done('Учётная запись «' + user.name + '» сохранена.');
            } catch (e) {
                fail(e);
            }
        });
        remove.addEventListener('click', async () => {
            if (!confirm('Удалить учётную запись «' + user.name + '»?'))
                return;
            try {
                await QST.request('/api/v1/users/' + encodeURIComponent(user.name), { method: 'DELETE' });
                done('Учётная запись «' + user.name + '» удалена.');
                await load();
            } catch (e) {
                fail(e);
            }
        });
        return QST.element('tr', {}, [
            QST.element('td', { text: user.name }),
            QST.element('td', {}, [role]),
            QST.element('td', {}, [meters]),
            QST.element('td', {}, [groups]),
            QST.element('td', {}, [password]),
            QST.element('td', {}, [save, ' ', remove]),
        ]);
    }

    async function load() {
        const users = await QST.getJson('/api/v1/users');
        body.replaceChildren(...users.map(row));
    }

    form.addEventListener('submit', async (event) => {
        event.preventDefault();
        try {
            const name = document.getElementById('add-name').value.trim();
            await QST.request('/api/v1/users', {
                method: 'POST',
                body: {
                    name,
                    role: document.getElementById('add-role').value,
                    password: document.getElementById('add-password').value,
                    meters: numbers(document.getElementById('add-meters').value),
                    groups: numbers(document.getElementById('add-groups').value),
                },
            });
            form.reset();
            done('Учётная запись «' + name + '» добавлена.');
            await load();
        } catch (e) {
            fail(e);
        }
    });

    async function start() {
        try {
            await QST.start();
            const add = document.getElementById('add-role');
            add.replaceChildren(...QST.roles.map((r) => QST.element('option', { value: r, text: QST.roleText(r) })));
            add.value = 'consumer';
            await load();
        } catch (e) {
            fail(e);
        }
    }

    start();
})();
