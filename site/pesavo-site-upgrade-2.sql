-- Brings a site database made by an earlier Pesavo (schema version 1) to version 2, in one
-- transaction, keeping its rows: frames of any length, every row keeps the login that wrote it,
-- and a desk's login writes only under the desk names the DBA gave it (pesavo.desk_names).
--
-- Run once by the database's administrator, as the role that owns the schema (running it again
-- changes nothing; on a database made at version 2 it changes nothing either):
--     psql -v ON_ERROR_STOP=1 -d <database> -f pesavo-site-upgrade-2.sql
-- From then on a desk's weighings are refused until its login has its names, for example
--     insert into pesavo.desk_names values ('desk_07', 'Packing desk 7');
-- (the desk tells its operator once, keeps its weighings and sends them once it may).

begin;

do $$
begin
    if to_regclass('pesavo.weighings') is null then
        raise exception 'this database has no Pesavo site schema: pesavo-site.sql makes one';
    end if;
end
$$;

-- Later scales send a line of text, not six bytes.
alter table pesavo.weighings drop constraint if exists weighings_frame_check;

-- Rows written before keep a null login: nobody recorded who wrote them, and a made-up name
-- could pass for a login's.
alter table pesavo.weighings add column if not exists login name;

-- The desk names each desk's login may write under, filled by the DBA. A desk renamed in its
-- Site.ini still sends the rows it weighed under its earlier name: that name too, until they are in.
create table if not exists pesavo.desk_names (
    login name not null,                   -- a desk's login role
    desk  text not null,                   -- a name it may write under
    primary key (login, desk)
);

-- Who wrote a row is the server's word, not the desk's: an insert that names the column gets the
-- session's login all the same (a default would be overridden).
create or replace function pesavo.weighings_login() returns trigger
    language plpgsql as $$
begin
    new.login := session_user;
    return new;
end
$$;

create or replace trigger weighings_login before insert on pesavo.weighings
    for each row execute function pesavo.weighings_login();

-- The desk names the session's login may write under. It reads desk_names with its owner's
-- rights, so a desk sees its own names and no other login's. A set, read once for a whole insert
-- rather than asked about every row.
create or replace function pesavo.login_desk_names() returns setof text
    language sql stable security definer set search_path = pg_catalog, pg_temp as $$
select n.desk from pesavo.desk_names n where n.login = session_user
$$;

-- Row-level security binds every role but the table's owner and superusers (it is not forced):
-- the first policy lets the others do what their grants let them, as before; the second, which
-- must hold as well, lets a desk insert only under its login's names.
alter table pesavo.weighings enable row level security;
do $$
begin
    if not exists (select from pg_policy where polrelid = 'pesavo.weighings'::regclass and polname = 'weighings_granted') then
        create policy weighings_granted on pesavo.weighings using (true) with check (true);
    end if;
    if not exists (select from pg_policy where polrelid = 'pesavo.weighings'::regclass and polname = 'weighings_desk_names') then
        create policy weighings_desk_names on pesavo.weighings as restrictive for insert to pesavo_desk
            with check (desk in (select pesavo.login_desk_names()));
    end if;
end
$$;

revoke all on schema pesavo from public;
revoke all on pesavo.weighings, pesavo.daily_totals, pesavo.desk_names from public;
revoke all on pesavo.weighings, pesavo.daily_totals, pesavo.desk_names from pesavo_desk;
revoke all on function pesavo.weighings_login(), pesavo.login_desk_names() from public;
grant usage on schema pesavo to pesavo_desk;
grant insert on pesavo.weighings to pesavo_desk;
grant execute on function pesavo.login_desk_names() to pesavo_desk;

comment on schema pesavo is 'Pesavo site schema 2';

commit;
